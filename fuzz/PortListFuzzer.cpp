// The port listing on a fabricated tree: /dev with ttyS/ttyUSB/ttyACM nodes and by-id links of
// any name (links to /dev/null, to each other, or to nothing), /sys and /proc texts of any bytes,
// and a COM port mapped into it. Each device is listed once, every JSON line parses, and a COM
// port's mapping lands on the entry of its device.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "comm/PortList.h"
#include "fuzz/FuzzCheck.h"
#include "service/PortListing.h"

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& text) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream(file, std::ios::binary) << text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& root = FuzzFolder();
    std::error_code ec;
    for (const char* part : {"dev", "sys", "proc"}) fs::remove_all(fs::path(root) / part, ec);
    const fs::path dev = fs::path(root) / "dev";
    fs::create_directories(dev / "serial" / "by-id", ec);
    for (int n = 1; n <= 9; ++n) unsetenv(("REFLASHER_COM" + std::to_string(n)).c_str());

    FuzzedDataProvider input(data, size);
    std::vector<fs::path> made;
    for (int i = input.ConsumeIntegralInRange(0, 6); i > 0; --i) {
        static const char* const kFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "serial/by-id/",
                                                "ttyX"};
        const std::string family = input.PickValueInArray(kFamilies);
        std::string name = family == "serial/by-id/"
                               ? input.ConsumeRandomLengthString(24)
                               : std::to_string(input.ConsumeIntegralInRange(0, 12));
        std::erase(name, '\0');
        std::erase(name, '/');
        if (name.empty() || name == "." || name == "..") continue;
        const fs::path node = dev / (family + name);
        fs::path target = "/dev/null";
        switch (input.ConsumeIntegralInRange(0, 3)) {
            case 0:
                break;
            case 1:
                target = dev / "missing";
                break;
            case 2:
                if (!made.empty())
                    target = made[input.ConsumeIntegralInRange<std::size_t>(0, made.size() - 1)];
                break;
            default:
                target = node;
                break;  // a link to itself
        }
        fs::create_symlink(target, node, ec);
        if (!ec) made.push_back(node);
        if (family == "ttyS") {
            const fs::path sys = fs::path(root) / "sys/class/tty" / (family + name);
            if (input.ConsumeBool()) Write(sys / "dev", input.ConsumeRandomLengthString(16));
            if (input.ConsumeBool()) Write(sys / "type", input.ConsumeRandomLengthString(16));
        }
    }
    if (input.ConsumeBool())
        Write(fs::path(root) / "proc/tty/driver/serial", input.ConsumeRandomLengthString(512));
    std::string mapped;
    if (!made.empty() && input.ConsumeBool()) {
        mapped = made[input.ConsumeIntegralInRange<std::size_t>(0, made.size() - 1)].string();
        setenv("REFLASHER_COM1", mapped.c_str(), 1);
    }

    const PortListRoots roots{dev.string(), root + "/sys", root + "/proc"};
    const std::vector<SerialPortEntry> entries = ListSerialPorts(roots);
    std::set<std::string> devices;
    int comOne = 0;
    for (const SerialPortEntry& e : entries) {
        Check(!e.device.empty() && devices.insert(e.device).second);
        Check(e.com == 0 || e.com == 1);
        Check(e.openable == e.why.empty());
        for (const std::string& alias : e.aliases)
            Check(alias.rfind(dev.string() + "/serial/by-id/", 0) == 0);
        if (e.com == 1) {
            ++comOne;
            Check(e.comSource == "REFLASHER_COM1");
        }
    }
    Check(comOne == (mapped.empty() ? 0 : 1));

    // The JSON listing: one line a device, each parses.
    std::istringstream lines(Captured([&](FILE* out) { PrintPortList(roots, true, out); }));
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        const nlohmann::json entry = nlohmann::json::parse(line);
        Check(entry.at("device").is_string());
        ++n;
    }
    Check(n == entries.size());
    return 0;
}
