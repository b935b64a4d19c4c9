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
    {ids::kAboutMenu, "&About Firmware..."},
    {ids::kFirmwareViz, REFLASHER_FIRMWARE_VIZ},  // the firmware release's file names, set when the
    {ids::kFirmwareOther, REFLASHER_FIRMWARE_OTHER},  // wizard is configured (default "508231.005")
    {ids::kFlasherProgram, "prog.exe"},
    {ids::kFlasherCommandLine, "%s %s %d P %d %d"},
    {ids::kReceiverName, "Vandrel"},
    {ids::kConnectedAt, "The receiver is connected to your PC COM port %d at a baud rate of %d."},
    {ids::kPortNotOpened,
     "There was an error opening the COM port.  Make sure the serial cable is connected to the "
     "specified COM Port."},
    {ids::kNoReceiver,
     "No receiver found.  Make sure the serial cable is connected to the specified COM port."},
    {ids::kConnecting9600, "Connecting at 9600..."},
    {ids::kConnecting19200, "Connecting at 19200..."},
    {ids::kGettingInformation, "Getting receiver information..."},
    {ids::kNoInformation, "Unable to retrieve receiver information."},
    {ids::kUnsupportedAntenna, "Unsupported antenna."},
    {ids::kLowBattery,
     "It is unsafe to update the receiver firmware on a low battery.  Exit this utility and "
     "replace the current battery."},
    {ids::kComPort1, "COM Port 1"},
    {ids::kComPort2, "COM Port 2"},
    {ids::kComPort3, "COM Port 3"},
    {ids::kComPort4, "COM Port 4"},
    {ids::kFlasherNotFound,
     "%s cannot be found.  Make sure this file is in the same directory as the update utility."},
    {ids::kUpdateInstructions,
     "If the Serial Number is different than the one on your receiver, please contact your sales "
     "representative.\r\n\r\nIt is recommended you have the receiver on external power or "
     "fully-charged batteries.  If the red battery indicator light is lit up on the receiver, exit "
     "this utility, replace batteries with fully-charged batteries, and re-launch this "
     "utility.\r\n\r\nPress Update to update the firmware from the current version to version "
     "%s.\r\nPress Cancel to exit the update utility.\r\n\r\nWarning:  Do not press the escape key "
     "while the utility is erasing the old firmware or installing the new firmware.  Doing so will "
     "cause the receiver to become non-operational.  If this happens, you must use the Restore "
     "option in this utility."},
    {ids::kPortInstructions,
     "Choose the PC COM port that your receiver is connected to and press the Next button to "
     "continue.  Turn on the %s receiver before proceeding. \r\n\r\nNote:  If your receiver has "
     "become unresponsive or the bottom red battery indicator light is flashing, press the Restore "
     "button.  If the utility doesn't \"handshake\" with the receiver within ten seconds, press "
     "the Escape key and make sure the proper PC COM port is selected and the receiver is on."},
    {ids::kWelcomeText,
     "This utility will update the firmware on your %s receiver.  Transfer any important files to "
     "your PC before proceeding any further.  You must delete all files off of the receiver after "
     "updating the firmware! \r\n\r\nConnect the receiver to your PC COM port using a serial cable "
     "and make note of which COM port you use.  You must also uncheck the Allow serial cable "
     "connection option in the Connection Settings screen of ActiveSync before proceeding."},
    {ids::kUpdated,
     "Receiver number %s has been successfully upgraded from firmware version %s to %s.  "
     "\r\n\r\nRemember you must delete all files off of the receiver before the new firmware will "
     "become operational. \r\n\r\nWould you like to upgrade another receiver?"},
    {ids::kTimedOut, "The utility has timed out.  Cycle the power on the receiver and try again. "},
    {ids::kFirmwareNotFound,
     "%s cannot be found.  Make sure the updated firmware file is in the same directory as the "
     "update utility."},
    {ids::kRestored,
     "The receiver has been successfully restored to firmware version %s.  \r\n\r\nRemember you "
     "must delete all files off of the receiver before the new firmware will become operational. "
     "\r\n\r\nWould you like to restore another receiver?"},
    {ids::kUpdateFailed,
     "If the utility froze during the update process, cycle the power on the receiver and try "
     "again.  If you pressed the Escape key during the erase or transfer process, you must cycle "
     "the power on the receiver and use the Restore option."},
    {ids::kRestoreFailed,
     "Make sure you have selected the correct COM port.  You may also need to cycle the power on "
     "the receiver before selecting the Restore option."},
    {ids::kResultFile, "%sstatus.err"},
};

}  // namespace

const char* LoadString(int id) {
    for (const Entry& e : kTable) {
        if (e.id == id) return e.text;
    }
    return "";
}

}  // namespace res
