// The port listing on Windows: the COM ports the system's serial drivers have registered
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the driver's device name, "\Device\Serial0", and the port
// it made, "COM1"), with what Device Manager knows of the device behind each where SetupAPI has
// it (the Ports class and the COM port interface; a port is found there by the PortName of its
// device's key): its friendly name and hardware id, and for a USB adapter its ids, maker, product
// and serial number. Each port is then probed as CommOpen opens it.
//
// Every call is a wide one; names reach the portable side in UTF-8. A device's names are the
// driver's or the vendor's words: the listing's formatting shows them safely, not this file.
#include "comm/PortList.h"

#include "comm/platform/LineDevice.h"  // before <windows.h>, which makes some of its names macros

#include <windows.h>
// After <windows.h>: they use its types. <initguid.h> first, so that this file defines the class
// and interface ids it uses.
#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <optional>

namespace {

// The COM port interface (<ntddser.h>'s, which needs the driver kit's types).
DEFINE_GUID(kComPortInterface, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F,
            0x73);

std::string Utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size, nullptr,
                        nullptr);
    return utf8;
}

std::string Utf8(const std::wstring& text) {
    return Utf8(text.data(), text.size());
}

// The n of "COM<n>" (any case), if that is all the name is.
std::optional<int> ComNumber(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 10 || _wcsnicmp(name.c_str(), L"COM", 3) != 0)
        return std::nullopt;
    int value = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') return std::nullopt;
        value = value * 10 + (name[i] - L'0');
    }
    if (value < 1) return std::nullopt;
    return value;
}

// A string value of an open key; empty when it has none or it is not a string. Registry strings
// need not end in a NUL; the value is read whole, whatever its length.
std::wstring StringValue(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    value.resize(wcsnlen(value.c_str(), bytes / sizeof(wchar_t)));
    return value;
}

struct Registered {
    std::wstring port;    // "COM3", as the driver named it
    std::wstring device;  // "\Device\Serial0"
};

// The ports the serial drivers have registered; none when the key is missing (no serial driver
// has made a port since the machine started).
std::vector<Registered> RegisteredPorts() {
    std::vector<Registered> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    DWORD longestName = 0;
    DWORD longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &longestName, &longestData, nullptr, nullptr) == ERROR_SUCCESS) {
        std::wstring name(longestName + 1, L'\0');
        std::wstring data(longestData / sizeof(wchar_t) + 1, L'\0');
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            DWORD type = 0;
            const LONG result = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type,
                                              reinterpret_cast<BYTE*>(data.data()), &dataBytes);
            if (result == ERROR_NO_MORE_ITEMS) break;
            // A value that grew since the key was measured is skipped rather than cut.
            if (result != ERROR_SUCCESS || type != REG_SZ) continue;
            Registered port;
            port.device.assign(name.c_str(), nameLength);
            port.port.assign(data.c_str(), wcsnlen(data.c_str(), dataBytes / sizeof(wchar_t)));
            if (!port.port.empty()) ports.push_back(std::move(port));
        }
    }
    RegCloseKey(key);
    return ports;
}

// What Device Manager knows of the device behind a port.
struct DeviceFacts {
    std::string friendlyName;  // "USB Serial Port (COM3)"
    std::string hardwareId;  // the first, most specific one: "FTDIBUS\VID_0403+PID_6001+A9XYZ\0000"
    std::string manufacturer;  // "FTDI"
    std::string description;   // "USB Serial Port"
    std::string usbId;         // "0403:6001"
    std::string usbSerial;
};

std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    DWORD type = 0;
    DWORD bytes = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, nullptr, 0, &bytes);
    if (bytes == 0 || (type != REG_SZ && type != REG_MULTI_SZ)) return {};
    std::wstring value(bytes / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(
            set, &info, property, &type, reinterpret_cast<BYTE*>(value.data()),
            static_cast<DWORD>(value.size() * sizeof(wchar_t)), nullptr)) {
        return {};
    }
    value.resize(wcslen(value.c_str()));  // a list's first string
    return value;
}

// The four hex digits after `tag` in `id` ("VID_0403"), lower case; empty when there are none.
std::string HexAfter(const std::wstring& id, const wchar_t* tag) {
    std::wstring upper = id;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(towupper(c)); });
    const std::size_t at = upper.find(tag);
    if (at == std::wstring::npos || at + wcslen(tag) + 4 > upper.size()) return {};
    std::string hex;
    for (std::size_t i = at + wcslen(tag); i < at + wcslen(tag) + 4; ++i) {
        if (!iswxdigit(upper[i])) return {};
        hex += static_cast<char>(towlower(upper[i]));
    }
    return hex;
}

// A USB adapter's ids from a hardware id ("USB\VID_0403&PID_6001", "FTDIBUS\VID_0403+PID_6001+...")
// and its serial number from the USB device's instance id ("USB\VID_0403&PID_6001\A9XYZ"): the
// port's own device, or the USB device it is a function of. Windows makes an instance id up
// (with '&' in it) for a device that has no serial number; that is no serial number.
void ReadUsbFacts(const std::wstring& hardwareId, DEVINST device, DeviceFacts& facts) {
    const std::string vendor = HexAfter(hardwareId, L"VID_");
    const std::string product = HexAfter(hardwareId, L"PID_");
    if (vendor.empty() || product.empty()) return;
    facts.usbId = vendor + ":" + product;
    for (int up = 0; up < 2; ++up) {
        wchar_t instance[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDW(device, instance, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return;
        const std::wstring id = instance;
        if (_wcsnicmp(id.c_str(), L"USB\\", 4) == 0 && HexAfter(id, L"VID_") == vendor) {
            const std::size_t last = id.rfind(L'\\');
            const std::wstring serial = id.substr(last + 1);
            if (last > 4 && serial.find(L'&') == std::wstring::npos) facts.usbSerial = Utf8(serial);
            return;
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) return;
        device = parent;
    }
}

// The devices of one set, by the port each made ("COM3", upper case).
void CollectDevices(HDEVINFO set, std::map<std::wstring, DeviceFacts>& byPort) {
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        std::wstring port = StringValue(key, L"PortName");
        RegCloseKey(key);
        if (port.empty()) continue;  // a printer port of the Ports class, or a port not made yet
        std::transform(port.begin(), port.end(), port.begin(),
                       [](wchar_t c) { return static_cast<wchar_t>(towupper(c)); });
        if (byPort.count(port) != 0) continue;  // both sets may hold a device
        DeviceFacts facts;
        facts.friendlyName = Utf8(DeviceProperty(set, info, SPDRP_FRIENDLYNAME));
        const std::wstring hardwareId = DeviceProperty(set, info, SPDRP_HARDWAREID);
        facts.hardwareId = Utf8(hardwareId);
        facts.manufacturer = Utf8(DeviceProperty(set, info, SPDRP_MFG));
        facts.description = Utf8(DeviceProperty(set, info, SPDRP_DEVICEDESC));
        ReadUsbFacts(hardwareId, info.DevInst, facts);
        byPort.emplace(std::move(port), std::move(facts));
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The devices present: the Ports class (most serial drivers) and the COM port interface (also
// modems and other classes that make a COM port).
std::map<std::wstring, DeviceFacts> PresentDevices() {
    std::map<std::wstring, DeviceFacts> byPort;
    CollectDevices(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT),
                   byPort);
    CollectDevices(SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
                   byPort);
    return byPort;
}

std::string SystemMessage(DWORD error) {
    wchar_t text[192] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text / sizeof text[0], nullptr) == 0) {
        return "error " + std::to_string(error);
    }
    std::string message = Utf8(text, wcslen(text));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

namespace comm::platform {

// As CommOpen opens a port: its claim first (Wine, and some USB and virtual drivers, let a second
// program open a port that is in use; the claim tells), then the device without sharing, and its
// line state read. Nothing is kept or changed.
bool ProbeDevice(const char* path, char* why, std::size_t size) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring device(static_cast<std::size_t>(std::max(length, 1)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, device.data(), length);
    device.resize(wcslen(device.c_str()));
    const std::wstring name = device.compare(0, 4, L"\\\\.\\") == 0 ? device.substr(4) : device;
    std::string reason;
    if (const std::optional<int> com = ComNumber(name)) {
        wchar_t claim[64];
        std::swprintf(claim, sizeof claim / sizeof claim[0], L"Global\\Reflasher.COM%d", *com);
        // Another user's claim exists too where this user may not open it.
        if (HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, claim)) {
            CloseHandle(mutex);
            reason = "in use by another program";
        } else if (GetLastError() == ERROR_ACCESS_DENIED) {
            reason = "in use by another program";
        }
    }
    if (reason.empty()) {
        HANDLE line = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (line != INVALID_HANDLE_VALUE) {
            // What CommOpen asks next. A device that opens but has no line state is no serial
            // port; under Wine every mapped port opens, and this is where one that leads nowhere
            // (its pseudo-terminal or device gone) fails.
            DCB state{};
            state.DCBlength = sizeof state;
            const bool serial = GetCommState(line, &state) != 0;
            const DWORD error = GetLastError();
            CloseHandle(line);
            if (serial) return true;
            reason = "no serial port answers there (" + SystemMessage(error) + ")";
        } else {
            const DWORD error = GetLastError();
            // A port opened without sharing refuses everyone else with ERROR_ACCESS_DENIED.
            reason =
                error == ERROR_ACCESS_DENIED ? "in use by another program" : SystemMessage(error);
        }
    }
    std::snprintf(why, size, "%s", reason.c_str());
    return false;
}

}  // namespace comm::platform

std::vector<SerialPortEntry> ListSerialPorts(const PortListRoots&) {
    const std::map<std::wstring, DeviceFacts> devices = PresentDevices();
    std::vector<SerialPortEntry> entries;
    for (const Registered& port : RegisteredPorts()) {
        SerialPortEntry entry;
        entry.device = "\\\\.\\" + Utf8(port.port);
        entry.target = Utf8(port.device);
        if (const std::optional<int> com = ComNumber(port.port)) {
            entry.com = *com;
            entry.comSource = "registry";
        }
        std::wstring key = port.port;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](wchar_t c) { return static_cast<wchar_t>(towupper(c)); });
        if (auto it = devices.find(key); it != devices.end()) {
            const DeviceFacts& facts = it->second;
            if (!facts.friendlyName.empty()) entry.aliases.push_back(facts.friendlyName);
            if (!facts.hardwareId.empty()) entry.aliases.push_back(facts.hardwareId);
            entry.usbId = facts.usbId;
            if (!facts.usbId.empty()) {
                entry.usbManufacturer = facts.manufacturer;
                entry.usbProduct = facts.description;
                entry.usbSerial = facts.usbSerial;
            }
        }
        char why[192] = {};
        entry.openable = comm::platform::ProbeDevice(entry.device.c_str(), why, sizeof why);
        if (!entry.openable) entry.why = why;
        entries.push_back(std::move(entry));
    }
    // COM order; ports a driver named otherwise (no COM number CommOpen could take) last, by name.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SerialPortEntry& a, const SerialPortEntry& b) {
                         if ((a.com == 0) != (b.com == 0)) return a.com != 0;
                         return a.com != 0 ? a.com < b.com : a.device < b.device;
                     });
    return entries;
}
