// The string table: every operator-visible text and file name, by number.
// Inside the literals \r\n is a carriage return and line feed, as on the original platform.
#include "res/Strings.h"

namespace res {
namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr Entry kTable[] = {
    {101, "&About Firmware..."},
    {102, REFLASHER_FIRMWARE_VIZ},    // the firmware release's file names, set when the
    {103, REFLASHER_FIRMWARE_OTHER},  // wizard is configured (default "508231.005")
    {104, "prog.exe"},
    {105, "%s %s %d P %d %d"},
    {106, "Vandrel"},
    {107, "The receiver is connected to your PC COM port %d at a baud rate of %d."},
    {108, "There was an error opening the COM port.  Make sure the serial cable is connected to the specified COM Port."},
    {109, "No receiver found.  Make sure the serial cable is connected to the specified COM port."},
    {110, "Connecting at 9600..."},
    {111, "Connecting at 19200..."},
    {112, "Getting receiver information..."},
    {113, "Unable to retrieve receiver information."},
    {114, "Unsupported antenna."},
    {115, "It is unsafe to update the receiver firmware on a low battery.  Exit this utility and replace the current battery."},
    {116, "COM Port 1"},
    {117, "COM Port 2"},
    {118, "COM Port 3"},
    {119, "COM Port 4"},
    {120, "%s cannot be found.  Make sure this file is in the same directory as the update utility."},
    {121, "If the Serial Number is different than the one on your receiver, please contact your sales representative.\r\n\r\nIt is recommended you have the receiver on external power or fully-charged batteries.  If the red battery indicator light is lit up on the receiver, exit this utility, replace batteries with fully-charged batteries, and re-launch this utility.\r\n\r\nPress Update to update the firmware from the current version to version %s.\r\nPress Cancel to exit the update utility.\r\n\r\nWarning:  Do not press the escape key while the utility is erasing the old firmware or installing the new firmware.  Doing so will cause the receiver to become non-operational.  If this happens, you must use the Restore option in this utility."},
    {122, "Choose the PC COM port that your receiver is connected to and press the Next button to continue.  Turn on the %s receiver before proceeding. \r\n\r\nNote:  If your receiver has become unresponsive or the bottom red battery indicator light is flashing, press the Restore button.  If the utility doesn't \"handshake\" with the receiver within ten seconds, press the Escape key and make sure the proper PC COM port is selected and the receiver is on."},
    {123, "This utility will update the firmware on your %s receiver.  Transfer any important files to your PC before proceeding any further.  You must delete all files off of the receiver after updating the firmware! \r\n\r\nConnect the receiver to your PC COM port using a serial cable and make note of which COM port you use.  You must also uncheck the Allow serial cable connection option in the Connection Settings screen of ActiveSync before proceeding."},
    {124, "Receiver number %s has been successfully upgraded from firmware version %s to %s.  \r\n\r\nRemember you must delete all files off of the receiver before the new firmware will become operational. \r\n\r\nWould you like to upgrade another receiver?"},
    {125, "The utility has timed out.  Cycle the power on the receiver and try again. "},
    {126, "%s cannot be found.  Make sure the updated firmware file is in the same directory as the update utility."},
    {127, "The receiver has been successfully restored to firmware version %s.  \r\n\r\nRemember you must delete all files off of the receiver before the new firmware will become operational. \r\n\r\nWould you like to restore another receiver?"},
    {128, "If the utility froze during the update process, cycle the power on the receiver and try again.  If you pressed the Escape key during the erase or transfer process, you must cycle the power on the receiver and use the Restore option."},
    {129, "Make sure you have selected the correct COM port.  You may also need to cycle the power on the receiver before selecting the Restore option."},
    {130, "%sstatus.err"},
};

}  // namespace

const char* LoadString(int id) {
    for (const Entry& e : kTable) {
        if (e.id == id) return e.text;
    }
    return "";
}

}  // namespace res
