// The port listing on Linux: device nodes under /dev, by-id links, and the kernel's word on which
// ttyS<k> has a UART (sysfs, else /proc/tty/driver/serial; a ttyS without either word is left out).
#include "comm/PortList.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "comm/Comm.h"
#include "comm/platform/LineDevice.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// What makes two names one device: the node a character device is, else the file itself.
struct Identity {
    bool valid = false;
    bool isDevice = false;
    dev_t rdev = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const Identity& o) const {
        if (!valid || !o.valid || isDevice != o.isDevice) return false;
        return isDevice ? rdev == o.rdev : (dev == o.dev && ino == o.ino);
    }
};

Identity IdentityOf(const std::string& path) {
    struct stat info {};
    Identity id;
    if (stat(path.c_str(), &info) != 0) return id;
    id.valid = true;
    id.isDevice = S_ISCHR(info.st_mode);
    id.rdev = info.st_rdev;
    id.dev = info.st_dev;
    id.ino = info.st_ino;
    return id;
}

// The number after `prefix` in `name` ("ttyUSB12" -> 12), if the rest is all digits.
std::optional<int> NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    int value = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || value > 100000) return std::nullopt;
        value = value * 10 + (name[i] - '0');
    }
    return value;
}

// The kernel's word on the node `path` for its ttyS<k>: true a UART is there, false none (or the
// node is not the kernel's ttyS<k>), nothing when it says nothing.
std::optional<bool> UartPresent(const PortListRoots& roots, int k, const std::string& path) {
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return false;
    const std::string sys = roots.sys + "/class/tty/ttyS" + std::to_string(k);
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::ifstream numbers(sys + "/dev");
    if (numbers >> major >> colon >> minor &&
        (major != ::major(node.st_rdev) || minor != ::minor(node.st_rdev))) {
        return false;
    }
    std::ifstream type(sys + "/type");
    int value = -1;
    if (type >> value) return value != 0;  // 0 is the serial core's "unknown port"
    // Only root may read this one; its lines read "3: uart:16550A port:..." or "3: uart:unknown
    // ...".
    std::ifstream driver(roots.proc + "/tty/driver/serial");
    std::string line;
    const std::string head = std::to_string(k) + ": uart:";
    while (std::getline(driver, line)) {
        if (line.compare(0, head.size(), head) == 0)
            return line.compare(head.size(), 7, "unknown") != 0;
    }
    return std::nullopt;
}

// Device names of one family in `folder`, in number order.
std::vector<std::string> Family(const std::string& folder, const std::string& prefix) {
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (const std::optional<int> n = NumberAfter(name, prefix))
            found.emplace_back(*n, entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& f : found) names.push_back(std::move(f.second));
    return names;
}

std::string LinkTarget(const std::string& path) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return {};
    const fs::path resolved = fs::canonical(path, ec);
    return ec ? fs::read_symlink(path, ec).string() : resolved.string();
}

struct Mapping {
    int com;
    std::string device;
    std::string source;
};

// The COM ports this process maps: every REFLASHER_COM<n> of the environment, and the default
// mapping COM n = /dev/ttyS<n-1> for the ttyS devices listed (where no variable overrides it).
std::vector<Mapping> EnvironmentMappings() {
    std::vector<Mapping> mappings;
    const std::string prefix = "REFLASHER_COM";
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        const std::optional<int> n = NumberAfter(entry.substr(0, equals), prefix);
        if (!n || *n < 1 || equals + 1 == entry.size()) continue;
        mappings.push_back({*n, entry.substr(equals + 1), entry.substr(0, equals)});
    }
    std::sort(mappings.begin(), mappings.end(),
              [](const Mapping& a, const Mapping& b) { return a.com < b.com; });
    return mappings;
}

// The first line of a sysfs attribute; empty when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A USB adapter's ids, names and serial number: its tty's device is an interface of the USB
// device that holds them (ttyUSB0 -> .../1-1/1-1:1.0/ttyUSB0, ttyACM0 -> .../1-1/1-1:1.0).
void ReadUsbAttributes(const PortListRoots& roots, SerialPortEntry& entry) {
    const std::string name =
        fs::path(entry.target.empty() ? entry.device : entry.target).filename().string();
    std::error_code ec;
    fs::path at = fs::canonical(roots.sys + "/class/tty/" + name + "/device", ec);
    for (int up = 0; !ec && up < 3 && !at.empty(); ++up, at = at.parent_path()) {
        const std::string vendor = Attribute(at / "idVendor");
        if (vendor.empty()) continue;
        entry.usbId = vendor + ":" + Attribute(at / "idProduct");
        entry.usbManufacturer = Attribute(at / "manufacturer");
        entry.usbProduct = Attribute(at / "product");
        entry.usbSerial = Attribute(at / "serial");
        return;
    }
}

SerialPortEntry EntryFor(const std::string& device) {
    SerialPortEntry entry;
    entry.device = device;
    return entry;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts(const PortListRoots& roots) {
    std::vector<SerialPortEntry> entries;
    for (const std::string& path : Family(roots.dev, "ttyS")) {
        const std::optional<int> k = NumberAfter(fs::path(path).filename().string(), "ttyS");
        if (UartPresent(roots, *k, path).value_or(false)) entries.push_back(EntryFor(path));
    }
    for (const char* family : {"ttyUSB", "ttyACM"}) {
        for (const std::string& path : Family(roots.dev, family)) entries.push_back(EntryFor(path));
    }

    std::vector<Identity> identities;
    for (SerialPortEntry& entry : entries) {
        entry.target = LinkTarget(entry.device);
        identities.push_back(IdentityOf(entry.device));
    }

    // Stable names: each by-id link goes with the device it leads to.
    std::vector<std::string> byId;
    std::error_code ec;
    for (const fs::directory_entry& link :
         fs::directory_iterator(roots.dev + "/serial/by-id", ec)) {
        byId.push_back(link.path().string());
    }
    std::sort(byId.begin(), byId.end());
    for (const std::string& alias : byId) {
        const Identity id = IdentityOf(alias);
        auto it = std::find(identities.begin(), identities.end(), id);
        if (it != identities.end()) {
            entries[static_cast<std::size_t>(it - identities.begin())].aliases.push_back(alias);
        } else {
            // A by-id name whose device is not among the families above (another driver's name).
            SerialPortEntry entry = EntryFor(alias);
            entry.target = LinkTarget(alias);
            entry.aliases.push_back(alias);
            entries.push_back(std::move(entry));
            identities.push_back(id);
        }
    }

    // The COM port each stands for now; mappings to devices not listed yet get entries of their
    // own.
    std::vector<Mapping> mappings = EnvironmentMappings();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::optional<int> k =
            NumberAfter(fs::path(entries[i].device).filename().string(), "ttyS");
        if (!k || roots.dev != "/dev") continue;
        const int n = *k + 1;
        const bool overridden = std::any_of(mappings.begin(), mappings.end(),
                                            [n](const Mapping& m) { return m.com == n; });
        if (!overridden) {
            char device[256];
            CommPortDevice(n, device, sizeof device);
            mappings.push_back({n, device, "default"});
        }
    }
    std::sort(mappings.begin(), mappings.end(),
              [](const Mapping& a, const Mapping& b) { return a.com < b.com; });
    for (const Mapping& mapping : mappings) {
        const Identity id = IdentityOf(mapping.device);
        std::size_t i = 0;
        while (i < entries.size() && !(identities[i] == id) && entries[i].device != mapping.device)
            ++i;
        if (i == entries.size()) {
            SerialPortEntry entry = EntryFor(mapping.device);
            entry.target = LinkTarget(mapping.device);
            entries.push_back(std::move(entry));
            identities.push_back(id);
        }
        if (entries[i].com == 0) {
            entries[i].com = mapping.com;
            entries[i].comSource = mapping.source;
        }
    }

    for (SerialPortEntry& entry : entries) {
        ReadUsbAttributes(roots, entry);
        char why[192] = {};
        entry.openable = comm::platform::ProbeDevice(entry.device.c_str(), why, sizeof why);
        if (!entry.openable) entry.why = why;
    }
    return entries;
}
