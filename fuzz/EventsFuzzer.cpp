// Events and the record line built from arbitrary strings and numbers: every JSON line parses and
// holds each field as given (bytes that are not UTF-8 replaced, never fatal); the plain lines for
// a person carry no control character to the terminal and never break in two.
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "service/EventLog.h"
#include "service/RunReport.h"

namespace {

using json = nlohmann::ordered_json;

bool IsUtf8(const std::string& text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::exception&) {
        return false;
    }
}

// The names the run emits, then anything.
const char* const kNames[] = {
    "page",           "status",           "message",       "receiver",     "flasher_started",
    "flasher_output", "flasher_progress", "flasher_ended", "confirmation", "outcome",
    "policy"};
const char* const kKeys[] = {"page",  "text",     "serial",         "version",
                             "speed", "battery",  "external_power", "command_line",
                             "line",  "result",   "duration_ms",    "expected",
                             "found", "attempts", "outcome",        "exit_code",
                             "port",  "device",   "old_version",    "confirmed_version",
                             "error"};

json Value(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return input.ConsumeIntegral<std::int64_t>();
        case 1:
            return input.ConsumeBool();
        case 2:
            return nullptr;
        default:
            return input.ConsumeRandomLengthString(128);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string device = input.ConsumeRandomLengthString(64);
    std::vector<std::pair<std::string, json>> events;
    const int count = input.ConsumeIntegralInRange(1, 4);
    for (int e = 0; e < count; ++e) {
        std::string name = input.ConsumeBool() ? input.PickValueInArray(kNames)
                                               : input.ConsumeRandomLengthString(16);
        json fields = json::object();
        for (int f = input.ConsumeIntegralInRange(0, 6); f > 0; --f) {
            const std::string key = input.ConsumeBool() ? input.PickValueInArray(kKeys)
                                                        : input.ConsumeRandomLengthString(8);
            fields[key] = Value(input);
        }
        events.emplace_back(std::move(name), std::move(fields));
    }

    auto emitAll = [&](bool json) {
        return Captured([&](FILE* out) {
            EventLog log(out, json);
            log.setDevice(device);
            for (const auto& [name, fields] : events) log.emit(name, fields);
        });
    };
    std::istringstream lines(emitAll(true));
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        Check(n < events.size());
        const auto& [name, fields] = events[n++];
        const json event =
            json::parse(line);  // throws (and so fails) on a line that does not parse
        Check(event.is_object() && event.at("time").is_string());
        if (IsUtf8(name)) Check(event.at("event") == name);
        if (!device.empty() && IsUtf8(device) && !fields.contains("device"))
            Check(event.at("device") == device);
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            if (IsUtf8(it.key()) &&
                IsUtf8(it.value().dump(-1, ' ', false, json::error_handler_t::replace)) &&
                (!it.value().is_string() || IsUtf8(it.value().get<std::string>()))) {
                Check(event.at(it.key()) == it.value());
            }
        }
    }
    Check(n == events.size());

    // Plain lines: one per event at most, each ended by its line feed, nothing else below a blank.
    const std::string plain = emitAll(false);
    Check(plain.empty() || plain.back() == '\n');
    std::size_t breaks = 0;
    for (char c : plain) {
        if (c == '\n') ++breaks;
        Check(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
        Check(c != 0x7F);
    }
    Check(breaks <= events.size());

    // The record line as the run appends it: the run's summary with the time and the host.
    RunReport report;
    report.host = input.ConsumeRandomLengthString(32);
    report.device = device;
    report.com = input.ConsumeIntegral<std::int32_t>();
    report.serialNumber = input.ConsumeRandomLengthString(32);
    report.versionBefore = input.ConsumeRandomLengthString(32);
    report.versionAfter = input.ConsumeRandomLengthString(32);
    report.message = input.ConsumeRandomLengthString(256);
    report.totalMs = input.ConsumeIntegral<std::int64_t>();
    json record = {{"time", UtcTime(report.startedAt)}, {"host", report.host}};
    const json summary = report.summary();
    for (auto it = summary.begin(); it != summary.end(); ++it) record[it.key()] = it.value();
    const std::string recordLine = record.dump(-1, ' ', false, json::error_handler_t::replace);
    Check(recordLine.find('\n') == std::string::npos);
    const json back = json::parse(recordLine);
    for (const char* key :
         {"host", "device", "serial", "old_version", "confirmed_version", "message"}) {
        if (IsUtf8(record.at(key).get<std::string>())) Check(back.at(key) == record.at(key));
    }
    Check(back.at("port") == report.com && back.at("total_ms") == report.totalMs);
    return 0;
}
