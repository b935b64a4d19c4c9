// The service bench's roads as one table that two drivers run: the Linux suite (receivers on
// pseudo-terminals in its own process, reflasher as a child) and the Windows suite under Wine
// (receiver-sim behind COM ports mapped to pseudo-terminals, reflasher-cli.exe as a child). Both
// also hold the record of one update to the same expected line, so that a record written on
// either platform is the same apart from where and when it was written.
#pragma once

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

#include "res/Resource.h"

namespace bench_cases {

struct ExitCase {
    const char* name;
    const char* receiver;  // receiver-sim's options; nullptr: nothing answers, the port is missing
    int exitCode;
    const char* outcome;
    int message;               // the string-table message the run showed; 0 for none
    const char* versionAfter;  // what the receiver runs afterwards; "" when unknown
};

namespace ids = res::ids;
inline const std::vector<ExitCase> kExitCases = {
    {"healthy", "", 0, "updated", 0, "169-508231-005"},
    {"battery 3599", "--battery 3599", 10, "low-battery", ids::kLowBattery, "169-508231-004"},
    {"silent", "--fault silent", 11, "no-receiver", ids::kNoReceiver, "169-508231-004"},
    {"no device", nullptr, 12, "port-not-opened", ids::kPortNotOpened, ""},
    {"no power reply", "--fault no-power", 13, "receiver-information-unreadable",
     ids::kNoInformation, "169-508231-004"},
    {"no serial number", "--fault no-serial", 14, "no-firmware-for-serial-number",
     ids::kUnsupportedAntenna, "169-508231-004"},
    {"worn flash", "--fault worn-flash", 20, "flasher-failed", ids::kUpdateFailed, ""},
    {"keeps the old version", "--fault keeps-old-version", 24, "confirmation-failed",
     ids::kUpdateFailed, "169-508231-004"},
    {"starts in 3 s", "--fault slow-start", 0, "updated", 0, "169-508231-005"},
    {"another receiver after the flash", "--fault other-receiver", 25, "other-receiver",
     ids::kUpdateFailed, "169-508231-005"},
    {"runs the target already", "--version 169-508231-005", 0, "current", 0, "169-508231-005"},
};

// The events named `name`, in order.
inline std::vector<nlohmann::json> Named(const std::vector<nlohmann::json>& events,
                                         const std::string& name) {
    std::vector<nlohmann::json> named;
    for (const nlohmann::json& e : events) {
        if (e.value("event", "") == name) named.push_back(e);
    }
    return named;
}

// Every JSON line of `text` (a run's standard output); other lines are left out.
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '{') {
            nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
            if (!parsed.is_discarded()) lines.push_back(std::move(parsed));
        }
        start = end + 1;
    }
    return lines;
}

// The record of a default receiver updated by `--operator "Anna Weber" --batch B-17`, without
// the fields that tell where and when it was written.
inline nlohmann::json UpdateRecord(const std::string& wizardVersion,
                                   const std::string& firmwareSha256) {
    return {{"format", 2},
            {"wizard_version", wizardVersion},
            {"operator", "Anna Weber"},
            {"batch", "B-17"},
            {"station_port", nullptr},
            {"road", "update"},
            {"speed", 19200},
            {"transfer_speed", 115200},
            {"serial", "VIZ12345678"},
            {"old_version", "169-508231-004"},
            {"new_version", "005"},
            {"confirmed_version", "169-508231-005"},
            {"confirmed_serial", "VIZ12345678"},
            {"battery", 3900},
            {"external_power", 0},
            {"firmware", "508231.005"},
            {"firmware_sha256", firmwareSha256},
            {"flasher_result", "succeeded"},
            {"flasher_last_words", nullptr},
            {"flasher_left_running", nullptr},
            {"message", nullptr},
            {"outcome", "updated"},
            {"exit_code", 0}};
}

// `line` without the fields that differ by host, port, device and time; fails (returns null)
// when one of them is missing.
inline nlohmann::json WithoutPlaceAndTime(nlohmann::json line) {
    static const std::set<std::string> kVary = {"time",     "end_time",   "host",
                                                "port",     "device",     "device_target",
                                                "total_ms", "flasher_ms", "confirm_ms"};
    for (const std::string& key : kVary) {
        if (!line.contains(key)) return nullptr;
        line.erase(key);
    }
    return line;
}

}  // namespace bench_cases
