// RunFlasher: start prog.exe, wait for it within its limits, read and delete status.err.
#include "source/Flasher.h"

#include <fmt/printf.h>

#include <array>

#include "res/Strings.h"
#include "source/platform/FlasherProcess.h"

namespace {

constexpr std::uint32_t kEarlyExitWindowMs = 500;
constexpr int kConsoleFill = 0x70;  // black text on light grey
constexpr std::size_t kResultBytes = 7;
constexpr char kSuccessMark = '0';

constexpr int kMsgNotStarted = 120;
constexpr int kMsgTimedOut = 125;
constexpr int kMsgEndedEarly = 126;
constexpr int kProgramName = 104;
constexpr int kCommandLineFormat = 105;
constexpr int kResultFileFormat = 130;

}  // namespace

std::string FlasherCommandLine(const std::string& programFolder, const std::string& firmwareFile,
                               std::int32_t port, std::int32_t connectSpeed, std::int32_t transferSpeed) {
    const std::string firmwareArgument =
        fmt::sprintf("\"%s%c%s\"", programFolder, flasher_os::kPathSeparator, firmwareFile);
    return fmt::sprintf(res::LoadString(kCommandLineFormat), res::LoadString(kProgramName), firmwareArgument,
                        port, connectSpeed, transferSpeed);
}

FlasherResult RunFlasher(const std::string& firmwareFile, std::int32_t port, std::int32_t connectSpeed,
                         std::int32_t transferSpeed, std::uint32_t completionLimitMs,
                         int failureMessage, const FlasherSurroundings& surroundings) {
    const std::string programName = res::LoadString(kProgramName);
    const std::string folder =
        surroundings.programFolder.empty() ? flasher_os::OwnFolder() : surroundings.programFolder;
    const std::string commandLine =
        FlasherCommandLine(folder, firmwareFile, port, connectSpeed, transferSpeed);
    const std::string tempFolder =
        surroundings.tempFolder.empty() ? flasher_os::TempFolder() : surroundings.tempFolder;
    const std::string resultFile = fmt::sprintf(res::LoadString(kResultFileFormat), tempFolder);
    const FlasherConsole& console = surroundings.console;
    auto show = [&](const std::string& text) {
        if (surroundings.showMessage) surroundings.showMessage(text);
    };

    // A result file left by an earlier flasher (one that ran past its limit and finished later)
    // must not speak for this run.
    flasher_os::RemoveFile(resultFile);

    if (console.open) console.open("Installing Firmware", kConsoleFill);
    std::unique_ptr<flasher_os::FlasherProcess> process = flasher_os::StartFlasher(
        folder, commandLine, tempFolder, {console.input, console.output, console.error});
    if (!process) {
        if (console.close) console.close();
        show(fmt::sprintf(res::LoadString(kMsgNotStarted), programName));
        return FlasherResult::NotStarted;
    }

    // A flasher that ends this soon could not open its firmware file.
    if (process->WaitEnded(kEarlyExitWindowMs)) {
        process.reset();
        if (console.close) console.close();
        flasher_os::RemoveFile(resultFile);
        show(fmt::sprintf(res::LoadString(kMsgEndedEarly), firmwareFile));
        return FlasherResult::EndedEarly;
    }

    if (!process->WaitEnded(completionLimitMs)) {
        // The flasher keeps running; its result file, if it ever writes one, is left alone.
        process.reset();
        if (console.close) console.close();
        show(res::LoadString(kMsgTimedOut));
        return FlasherResult::TimedOut;
    }
    process.reset();
    if (console.close) console.close();

    std::array<char, kResultBytes> buffer{};
    const int got = flasher_os::ReadResultFile(resultFile, buffer.data(), buffer.size());
    flasher_os::RemoveFile(resultFile);
    if (got == static_cast<int>(kResultBytes) && buffer[kResultBytes - 1] == kSuccessMark)
        return FlasherResult::Succeeded;
    show(res::LoadString(failureMessage));
    return FlasherResult::Failed;
}
