#include "service/RunReport.h"

#include <chrono>

#include <fmt/format.h>

int ExitCodeOf(Outcome outcome, int signal) {
    switch (outcome) {
        case Outcome::Updated:
        case Outcome::Restored:
            return kExitDone;
        case Outcome::LowBattery:
            return kExitLowBattery;
        case Outcome::NoReceiver:
            return kExitNoReceiver;
        case Outcome::PortNotOpened:
            return kExitPortNotOpened;
        case Outcome::InfoUnreadable:
            return kExitInfoUnreadable;
        case Outcome::NoFirmware:
            return kExitNoFirmware;
        case Outcome::FlasherFailed:
            return kExitFlasherFailed;
        case Outcome::FlasherTimedOut:
            return kExitFlasherTimedOut;
        case Outcome::FlasherMissing:
            return kExitFlasherMissing;
        case Outcome::ConfirmationFailed:
            return kExitConfirmationFailed;
        case Outcome::OtherReceiver:
            return kExitOtherReceiver;
        case Outcome::Current:
            return kExitDone;
        case Outcome::Interrupted:
            return kExitSignalBase + (signal > 0 ? signal : 2);
        case Outcome::Incomplete:
            break;
    }
    return kExitIncomplete;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Updated:
            return "updated";
        case Outcome::Restored:
            return "restored";
        case Outcome::LowBattery:
            return "low-battery";
        case Outcome::NoReceiver:
            return "no-receiver";
        case Outcome::PortNotOpened:
            return "port-not-opened";
        case Outcome::InfoUnreadable:
            return "receiver-information-unreadable";
        case Outcome::NoFirmware:
            return "no-firmware-for-serial-number";
        case Outcome::FlasherFailed:
            return "flasher-failed";
        case Outcome::FlasherTimedOut:
            return "flasher-timed-out";
        case Outcome::FlasherMissing:
            return "firmware-or-flasher-missing";
        case Outcome::ConfirmationFailed:
            return "confirmation-failed";
        case Outcome::OtherReceiver:
            return "other-receiver";
        case Outcome::Current:
            return "current";
        case Outcome::Interrupted:
            return "interrupted";
        case Outcome::Incomplete:
            break;
    }
    return "incomplete";
}

namespace {
template <class T>
nlohmann::ordered_json OrNull(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}
}  // namespace

nlohmann::ordered_json RunReport::summary() const {
    return {
        {"wizard_version", wizardVersion},
        {"operator", OrNull(operatorName)},
        {"batch", OrNull(batch)},
        {"port", com},
        {"device", device},
        {"device_target", OrNull(deviceTarget)},
        {"station_port", OrNull(stationPort)},
        {"road", road},
        {"speed", OrNull(connectSpeed)},
        {"transfer_speed", OrNull(transferSpeed)},
        {"serial", OrNull(serialNumber)},
        {"old_version", OrNull(versionBefore)},
        {"new_version", OrNull(newVersion)},
        {"confirmed_version", OrNull(versionAfter)},
        {"confirmed_serial", OrNull(serialAfter)},
        {"battery", OrNull(batteryLevel)},
        {"external_power", OrNull(externalPower)},
        {"firmware", OrNull(firmwareFile)},
        {"firmware_sha256", OrNull(firmwareSha256)},
        {"flasher_result", OrNull(flasherResult)},
        {"flasher_last_words", OrNull(flasherLastWords)},
        {"flasher_left_running", OrNull(flasherLeftRunning)},
        {"message", OrNull(message)},
        {"outcome", OutcomeName(outcome)},
        {"exit_code", exitCode()},
        {"total_ms", totalMs},
        {"flasher_ms", flasherMs},
        {"confirm_ms", confirmMs},
    };
}

nlohmann::ordered_json RunReport::recordLine() const {
    nlohmann::ordered_json line = {{"format", kRecordFormat},
                                   {"time", UtcTime(startedAt)},
                                   {"end_time", UtcTime(endedAt)},
                                   {"host", host}};
    const nlohmann::ordered_json fields = summary();
    for (auto it = fields.begin(); it != fields.end(); ++it) line[it.key()] = it.value();
    return line;
}

std::string UtcTime(RunReport::Clock::time_point when) {
    // The calendar of the system clock (UTC), the same on every platform.
    const auto day = std::chrono::floor<std::chrono::days>(when);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss time{std::chrono::floor<std::chrono::milliseconds>(when - day)};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", static_cast<int>(date.year()),
                       static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                       time.hours().count(), time.minutes().count(), time.seconds().count(),
                       time.subseconds().count());
}
