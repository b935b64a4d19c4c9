// The serial devices of this machine, for an operator choosing a port (reflasher --list-ports):
// which devices there are, which COM port each stands for now, and whether this user can open it.
//
// Separate from the engine (comm/Comm.h): it allocates, reads the file system and may be called
// from any thread; it opens each device only for a moment, as CommOpen would, and changes none
// of its settings.
#pragma once

#include <string>
#include <vector>

struct SerialPortEntry {
    std::string device;                // as found: "/dev/ttyUSB0", or a COM port's mapping
    std::string target;                // what the device resolves to when it is a link; else empty
    std::vector<std::string> aliases;  // stable names that lead to it (/dev/serial/by-id/...)
    int com = 0;                       // the COM port it stands for now; 0 for none
    std::string comSource;             // "REFLASHER_COM2", or "default" for /dev/ttyS<n-1>
    bool openable = false;
    std::string why;  // when it cannot be opened: busy, permission, ...
    // The USB device behind it (an adapter), from sysfs; empty for other devices or unknown.
    std::string usbId;            // vendor:product in hex, "0403:6001"
    std::string usbManufacturer;  // what the adapter calls its maker, its product and
    std::string usbProduct;       // itself; a serial number tells two equal adapters apart
    std::string usbSerial;
};

// Where the listing looks; tests point it at folders of their own.
struct PortListRoots {
    std::string dev = "/dev";  // ttyUSB*, ttyACM*, ttyS* and serial/by-id/
    std::string sys =
        "/sys";  // class/tty/ttyS<k>/type: 0 where no UART answers; class/tty/<name>/device
                 // leads to a USB adapter's interface, below its device
    std::string proc = "/proc";  // tty/driver/serial, where sysfs says nothing
};

// Lists, in this order: ttyS* with a UART behind it, ttyUSB*, ttyACM* (each in number order),
// then the COM ports mapped by REFLASHER_COM<n> to devices not listed yet (in COM order).
// Devices that are one file (a by-id link and its target, a mapping and a listed device) are
// one entry.
// Windows (roots unused): the ports the serial drivers registered, in COM order, each with
// device "\\.\COM<n>", target the driver's device ("\Device\Serial0"), comSource "registry",
// aliases Device Manager's friendly name and hardware id where it has them, and the usb fields
// for a USB adapter.
std::vector<SerialPortEntry> ListSerialPorts(const PortListRoots& roots = {});
