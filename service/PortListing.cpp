#include "service/PortListing.h"

#include <string>

#include <nlohmann/json.hpp>

#include "source/ReceiverInfoDlg.h"

int PrintPortList(const PortListRoots& roots, bool json, std::FILE* out) {
    const std::vector<SerialPortEntry> entries = ListSerialPorts(roots);
    for (const SerialPortEntry& e : entries) {
        if (json) {
            nlohmann::ordered_json line = {
                {"device", e.device},
                {"target", e.target.empty() ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json(e.target)},
                {"aliases", e.aliases},
                {"com",
                 e.com == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.com)},
                {"com_source", e.comSource.empty() ? nlohmann::ordered_json(nullptr)
                                                   : nlohmann::ordered_json(e.comSource)},
                {"openable", e.openable},
                {"why",
                 e.openable ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(e.why)},
                {"usb", e.usbId.empty()
                            ? nlohmann::ordered_json(nullptr)
                            : nlohmann::ordered_json{{"id", e.usbId},
                                                     {"manufacturer", e.usbManufacturer},
                                                     {"product", e.usbProduct},
                                                     {"serial", e.usbSerial}}}};
            std::fprintf(out, "%s\n",
                         line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                             .c_str());
            continue;
        }
        // Names come from the file system: a link's name may hold an escape or a line feed, which
        // the terminal must not act on. They are shown as the wizard shows a receiver's text.
        std::string com =
            e.com == 0 ? "no COM port" : "COM" + std::to_string(e.com) + " (" + e.comSource + ")";
        std::string line =
            e.device + (e.target.empty() || e.target == e.device ? "" : " -> " + e.target) + "  " +
            com + "  " + (e.openable ? "can be opened" : "cannot be opened: " + e.why);
        std::fprintf(out, "%s\n", VisibleText(line).c_str());
        if (!e.usbId.empty()) {
            const std::string usb = "    USB " + e.usbId + "  " + e.usbManufacturer + " " +
                                    e.usbProduct + "  serial " +
                                    (e.usbSerial.empty() ? std::string("(none)") : e.usbSerial);
            std::fprintf(out, "%s\n", VisibleText(usb).c_str());
        }
        for (const std::string& alias : e.aliases) {
            if (alias != e.device) std::fprintf(out, "    %s\n", VisibleText(alias).c_str());
        }
    }
    if (!json && entries.empty()) std::fprintf(out, "No serial devices found.\n");
    return 0;
}
