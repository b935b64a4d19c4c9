// The port listing on a machine with real UARTs: runs inside the QEMU guest after the engine's
// checks. The guest has 16550s at ttyS0 (its console) and ttyS1; the kernel also makes ttyS2 and
// ttyS3, where no UART answers. The listing must name the first two, with their COM ports, as
// openable, and leave the other two out. Prints one line per check and exits 0 when all passed.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "comm/PortList.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& name, const std::string& seen) {
    std::printf("%s %s: %s\n", ok ? "ok" : "FAIL", name.c_str(), seen.c_str());
    if (!ok) ++failures;
}

std::string Describe(const SerialPortEntry& e) {
    return e.device + " COM" + std::to_string(e.com) + " (" + e.comSource + ") " +
           (e.openable ? "openable" : "not openable: " + e.why);
}

}  // namespace

int main() {
    const std::vector<SerialPortEntry> entries = ListSerialPorts();
    std::string all;
    for (const SerialPortEntry& e : entries) all += (all.empty() ? "" : "; ") + Describe(e);
    std::printf("listing: %s\n", all.empty() ? "(nothing)" : all.c_str());

    for (int k = 0; k < 2; ++k) {
        const std::string device = "/dev/ttyS" + std::to_string(k);
        const SerialPortEntry* found = nullptr;
        for (const SerialPortEntry& e : entries) {
            if (e.device == device) found = &e;
        }
        Check(found != nullptr && found->com == k + 1 && found->comSource == "default" &&
                  found->openable,
              "listed " + device, found ? Describe(*found) : "not listed");
    }
    for (int k = 2; k < 4; ++k) {
        const std::string device = "/dev/ttyS" + std::to_string(k);
        struct stat node {};
        const bool exists = stat(device.c_str(), &node) == 0 && S_ISCHR(node.st_mode);
        bool listed = false;
        for (const SerialPortEntry& e : entries) listed = listed || e.device == device;
        // The node must be there for its absence from the listing to mean anything.
        Check(exists && !listed, "left out " + device,
              std::string(exists ? "a device node" : "no device node") +
                  (listed ? ", listed" : ", not listed"));
    }
    std::printf("port listing: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
