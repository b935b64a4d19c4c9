// What one unattended run came to: its outcome with the exit code the program ends with, and
// what was learned on the way. Filled on the user-interface thread from what the wizard showed
// and did (message boxes by their string-table text, flasher runs through their observers),
// never guessed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

enum class Outcome {
    Updated,             // 0
    Restored,            // 0
    LowBattery,          // 10: message 115
    NoReceiver,          // 11: message 109
    PortNotOpened,       // 12: message 108
    InfoUnreadable,      // 13: message 113
    NoFirmware,          // 14: message 114
    FlasherFailed,       // 20: messages 128, 129
    FlasherTimedOut,     // 21: message 125
    FlasherMissing,      // 22: messages 126, 120
    ConfirmationFailed,  // 24: a wrong version, or no answer, after a successful flash
    OtherReceiver,       // 25: after a successful flash another serial number answered
    Current,             // 0: the receiver already runs the target version; nothing was flashed
    Interrupted,         // 128 + the signal: SIGINT, SIGTERM or SIGHUP stopped the run
    Incomplete,          // 1: the wizard ended without any of the above (the policy had to leave)
};

// The program's exit codes of unattended runs and stations.
enum UnattendedExit : int {
    kExitDone = 0,
    kExitIncomplete = 1,
    kExitUsage = 2,
    kExitLowBattery = 10,
    kExitNoReceiver = 11,
    kExitPortNotOpened = 12,
    kExitInfoUnreadable = 13,
    kExitNoFirmware = 14,
    kExitFlasherFailed = 20,
    kExitFlasherTimedOut = 21,
    kExitFlasherMissing = 22,
    kExitConfirmationFailed = 24,
    kExitOtherReceiver = 25,
    kExitRecordNotWritten = 30,  // whatever the outcome: the attempt could not be recorded
    kExitSignalBase = 128,       // + the signal's number: 130 Ctrl+C, 143 SIGTERM
};

// The exit code of `outcome`; `signal` is the one that interrupted the run.
int ExitCodeOf(Outcome outcome, int signal = 0);
// Its name in the JSON lines and the record ("updated", "low-battery", ...).
const char* OutcomeName(Outcome outcome);

// The record's format: readers take lines of a later format by the fields they know.
inline constexpr int kRecordFormat = 2;

struct RunReport {
    using Clock = std::chrono::system_clock;
    Clock::time_point startedAt = Clock::now();
    Clock::time_point endedAt = startedAt;
    std::string host;
    std::string wizardVersion;
    std::optional<std::string> operatorName;  // --operator, as given
    std::optional<std::string> batch;         // --batch, as given
    std::int32_t com = 0;
    std::string device;
    std::optional<std::string> deviceTarget;  // where the device path leads (links resolved)
    std::optional<int> stationPort;           // its place in a station's port list, from 1
    std::string road = "update";              // or "restore"

    // From the connecting page (update road only).
    std::optional<std::int32_t> connectSpeed;
    std::optional<std::string> serialNumber;
    std::optional<std::string> versionBefore;  // whole, as the receiver reported it
    std::optional<std::int32_t> externalPower;
    std::optional<std::int32_t> batteryLevel;

    // From the flasher runs (the last one).
    std::optional<std::string> firmwareFile;
    std::optional<std::int32_t> transferSpeed;
    std::optional<std::string> flasherResult;   // "succeeded", "failed", ...
    std::optional<std::string> newVersion;      // VersionFromFileName of the firmware file
    std::optional<std::string> firmwareSha256;  // of the file, read just before the flasher started
    std::optional<std::string> flasherLastWords;  // what it said of its failure
    std::optional<long> flasherLeftRunning;       // the process id of a flasher that did not end
    std::int64_t flasherMs = 0;

    // From the confirmation.
    std::optional<std::string> versionAfter;  // whole, as the receiver reported it afterwards
    std::optional<std::string> serialAfter;
    std::int64_t confirmMs = 0;

    std::optional<std::string> message;  // the failure message's string-table text, first line
    Outcome outcome = Outcome::Incomplete;
    int signal = 0;
    std::int64_t totalMs = 0;

    int exitCode() const { return ExitCodeOf(outcome, signal); }
    // The fields of the outcome event (without "event", "time").
    nlohmann::ordered_json summary() const;
    // The record line: the format, start and end, host, then the summary.
    nlohmann::ordered_json recordLine() const;
};

// "2026-12-09T10:11:12.345Z"
std::string UtcTime(RunReport::Clock::time_point when);
