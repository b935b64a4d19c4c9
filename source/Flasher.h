// Running the external flasher prog.exe and reading its result file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class FlasherResult { Succeeded, NotStarted, EndedEarly, TimedOut, Failed };

// What RunFlasher needs from its surroundings. The defaults are the real ones; tests and the
// front ends replace what they must.
struct FlasherSurroundings {
    // Shows one failure message (the wizard's standard message box). Required.
    std::function<void(const std::string& text)> showMessage;
    // The folder that holds the wizard (and prog.exe and the firmware files), without a trailing
    // separator. Empty: the folder of the running executable.
    std::string programFolder;
    // The temporary folder, with a trailing '/'. Empty: $TMPDIR or /tmp.
    std::string tempFolder;
};

FlasherResult RunFlasher(const std::string& firmwareFile, std::int32_t port, std::int32_t connectSpeed,
                         std::int32_t transferSpeed, std::uint32_t completionLimitMs,
                         int failureMessage, const FlasherSurroundings& surroundings);
