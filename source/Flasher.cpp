// RunFlasher: start prog.exe, wait for it within its limits, read and delete status.err.
#include "source/Flasher.h"

#include <fmt/printf.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>

#include "comm/Comm.h"
#include "res/Strings.h"
#include "source/FlasherResult.h"
#include "source/platform/FlasherProcess.h"

namespace {

constexpr std::uint32_t kEarlyExitWindowMs = 500;
constexpr int kConsoleFill = 0x70;  // black text on light grey
// The flasher's path buffers hold 260 characters (MAX_PATH with its NUL): every path it is
// given or makes must be shorter, or its calls fail or cut the path, and it would open or write
// something else than the wizard meant (a result file in the system folder, a false failure
// after a real flash).
constexpr std::size_t kMaxPath = 259;
// How long a flasher that was passed the wizard's ending signal gets to stop.
constexpr std::uint32_t kStopGraceMs = 5000;
// How often a console of the wizard's own gets the user-interface thread during the waits.
constexpr long long kIdleSliceMs = 20;

constexpr int kMsgNotStarted = res::ids::kFlasherNotFound;
constexpr int kMsgTimedOut = res::ids::kTimedOut;
constexpr int kMsgEndedEarly = res::ids::kFirmwareNotFound;
constexpr int kProgramName = res::ids::kFlasherProgram;
constexpr int kCommandLineFormat = res::ids::kFlasherCommandLine;
constexpr int kResultFileFormat = res::ids::kResultFile;

// A flasher that ran past its completion limit, with the folder it runs in. It is the one
// process-wide fact RunFlasher keeps between runs: no second flasher starts while it lives, and
// its folder goes when it has ended. Never freed at exit, since the flasher may outlive the wizard.
struct Lingering {
    std::unique_ptr<flasher_os::FlasherProcess> process;
    std::unique_ptr<flasher_os::RunFolder> folder;
};
Lingering* gLingering = nullptr;  // user-interface thread only

// The console lent to the flasher, for one run: taken back on every way out of the run, and
// before any message (`takeBack` may come early; it acts once).
class ConsoleLoan {
  public:
    explicit ConsoleLoan(ui::ConsoleLender* lender) : lender_(lender ? *lender : none_) {}
    ~ConsoleLoan() { takeBack(); }
    ConsoleLoan(const ConsoleLoan&) = delete;
    ConsoleLoan& operator=(const ConsoleLoan&) = delete;
    ui::ConsoleLender& lender() { return lender_; }
    void lend(const std::string& title, int fillAttribute) {
        lender_.lend(title, fillAttribute);
        lent_ = true;
    }
    void takeBack() {
        if (!lent_) return;
        lent_ = false;
        lender_.takeBack();
    }

  private:
    static inline ui::ConsoleLender none_;  // lends nothing; stateless
    ui::ConsoleLender& lender_;
    bool lent_ = false;
};

// The system's message, then a line of ours that says more.
std::string WithLine(const std::string& message, const std::string& line) {
    return message + "\r\n\r\n" + line;
}

// A missing file's message, then where the wizard looked: "the same directory as the update
// utility" tells an operator little when the wizard was started through a link.
std::string WithLooked(const std::string& message, const std::string& folder) {
    return WithLine(message, "Looked in: " + folder);
}

}  // namespace

std::string FlasherCommandLine(const std::string& programFolder, const std::string& firmwareFile,
                               std::int32_t port, std::int32_t connectSpeed,
                               std::int32_t transferSpeed) {
    const std::string firmwareArgument =
        flasher_os::QuotedArgument(programFolder + flasher_os::kPathSeparator + firmwareFile);
    return fmt::sprintf(res::LoadString(kCommandLineFormat), res::LoadString(kProgramName),
                        firmwareArgument, port, connectSpeed, transferSpeed);
}

namespace {

FlasherResult RunOnce(const std::string& firmwareFile, std::int32_t port, std::int32_t connectSpeed,
                      std::int32_t transferSpeed, std::uint32_t completionLimitMs,
                      int failureMessage, const FlasherSurroundings& surroundings) {
    const std::string programName = res::LoadString(kProgramName);
    // Holds off the ending signals while the flasher runs, and only then: a message box must end
    // with the wizard when one comes, so the watch goes (and a signal it took ends the wizard)
    // before any box opens.
    std::unique_ptr<flasher_os::StopWatch> stopWatch;
    // Declared after the stop watch, so that on the way out the console comes back first.
    ConsoleLoan console(surroundings.console);
    auto show = [&](const std::string& text) {
        console.takeBack();
        stopWatch.reset();
        if (surroundings.showMessage) surroundings.showMessage(text);
    };
    const std::string notStarted = fmt::sprintf(res::LoadString(kMsgNotStarted), programName);

    // A flasher given up on earlier may still be writing to the receiver: never a second one.
    if (gLingering != nullptr) {
        if (!gLingering->process->WaitEnded(0)) {
            show(WithLine(res::LoadString(kMsgTimedOut),
                          "The flasher started before is still running; wait until it has ended."));
            return FlasherResult::TimedOut;
        }
        delete gLingering;
        gLingering = nullptr;
    }

    const std::string folder =
        surroundings.programFolder.empty() ? flasher_os::OwnFolder() : surroundings.programFolder;
    if (folder.empty()) {
        show(WithLine(notStarted, "The folder of the update utility cannot be told."));
        return FlasherResult::NotStarted;
    }
    const std::string commandLine =
        FlasherCommandLine(folder, firmwareFile, port, connectSpeed, transferSpeed);
    const std::string firmwarePath = folder + flasher_os::kPathSeparator + firmwareFile;
    if (flasher_os::PathLength(firmwarePath) > kMaxPath) {
        show(WithLine(notStarted,
                      fmt::sprintf("The path of the firmware file %s is longer than %d characters.",
                                   firmwarePath, kMaxPath)));
        return FlasherResult::NotStarted;
    }

    // Each run works in a folder of its own inside the temporary folder, so that no other run's
    // result file (another wizard's, or a late one of ours) is ever taken for this run's.
    const std::string tempFolder =
        surroundings.tempFolder.empty() ? flasher_os::TempFolder() : surroundings.tempFolder;
    std::string reason;
    std::unique_ptr<flasher_os::RunFolder> runFolder;
    if (flasher_os::PathLength(tempFolder) > kMaxPath) {
        reason = fmt::sprintf("it is longer than %d characters", kMaxPath);
    } else {
        runFolder = flasher_os::MakeRunFolder(tempFolder, reason);
    }
    // The whole path the flasher writes, its run folder's and the result file's name with it.
    std::string resultFile;
    if (runFolder) {
        resultFile = fmt::sprintf(res::LoadString(kResultFileFormat), runFolder->Path());
        if (flasher_os::PathLength(resultFile) > kMaxPath) {
            reason = fmt::sprintf("the flasher's result file %s would be longer than %d characters",
                                  resultFile, kMaxPath);
            runFolder.reset();
        }
    }
    if (!runFolder) {
        show(WithLine(notStarted,
                      "The temporary folder " + tempFolder + " cannot be used: " + reason + "."));
        return FlasherResult::NotStarted;
    }

    // The port stays this wizard's until the flasher has ended (taken when the port was opened,
    // or here on the restore road): no second wizard opens it while the flasher writes. A
    // flasher left running past its limit keeps it.
    if (CommClaimPort(port) != 0) {
        show(WithLine(notStarted, std::string(CommOpenFailure()) + "."));
        return FlasherResult::NotStarted;
    }
    struct PortClaim {
        std::int32_t port;
        bool kept = false;
        ~PortClaim() {
            if (!kept) CommReleasePort(port);
        }
    } claim{port};

    if (surroundings.started) {
        surroundings.started(FlasherRun{firmwareFile, port, connectSpeed, transferSpeed,
                                        completionLimitMs, commandLine});
    }
    stopWatch = flasher_os::WatchForStop();
    console.lend("Installing Firmware", kConsoleFill);
    flasher_os::StandardStreams streams = surroundings.streams;
    if (std::string terminal = console.lender().terminal(); !terminal.empty())
        streams = {-1, -1, -1, terminal};
    std::unique_ptr<flasher_os::FlasherProcess> process =
        flasher_os::StartFlasher(folder, commandLine, runFolder->Path(), streams);
    if (!process) {
        show(WithLooked(notStarted, folder));
        return FlasherResult::NotStarted;
    }

    // The waits on the flasher; with a console of the wizard's own they come back to it every
    // few milliseconds, until one deadline for the whole wait.
    bool keepGoing = true;  // until the console says it needs no more
    auto waitEnded = [&](std::uint32_t ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (!keepGoing)
                return process->WaitEnded(static_cast<std::uint32_t>(std::max<long long>(left, 0)));
            if (process->WaitEnded(
                    static_cast<std::uint32_t>(std::clamp<long long>(left, 0, kIdleSliceMs))))
                return true;
            if (left <= kIdleSliceMs || stopWatch->StopPending()) return false;
            keepGoing = console.lender().keepGoing();
        }
    };

    // The wizard was asked to end while the flasher ran: the flasher is told too and waited for,
    // its folder removed, and then the wizard ends as asked.
    auto stopRequested = [&]() -> bool {
        const int signal = stopWatch->TakeStopRequest();
        if (signal == 0) return false;
        process->PassOn(signal);
        if (!process->WaitEnded(kStopGraceMs) && surroundings.leftRunning)
            surroundings.leftRunning(process->Id());
        process.reset();
        runFolder.reset();
        console
            .takeBack();  // the terminal must be the operator's again if the signal ends the wizard
        stopWatch->EndAsAsked(signal);
        return true;  // the ending signal did not end the wizard
    };

    // A flasher that ends this soon could not open its firmware file.
    if (waitEnded(kEarlyExitWindowMs)) {
        process.reset();
        runFolder.reset();
        show(WithLooked(fmt::sprintf(res::LoadString(kMsgEndedEarly), firmwareFile), folder));
        return FlasherResult::EndedEarly;
    }

    const bool ended = waitEnded(completionLimitMs);
    if (!ended && stopRequested()) {
        show(WithLine(res::LoadString(failureMessage),
                      "The flasher was stopped: the update utility was asked to end."));
        return FlasherResult::Failed;
    }
    if (!ended) {
        // The flasher keeps running in its folder; it is looked at again before the next run.
        claim.kept = true;
        gLingering = new Lingering{std::move(process), std::move(runFolder)};
        show(WithLine(res::LoadString(kMsgTimedOut), "The flasher is still running."));
        return FlasherResult::TimedOut;
    }
    process.reset();

    std::array<char, kResultBytes + kReasonBytes> buffer{};
    const int got = flasher_os::ReadResultFile(resultFile, buffer.data(), buffer.size());
    runFolder.reset();  // the result file goes with it
    if (got > 0 && ResultSucceeded(buffer.data(), static_cast<std::size_t>(got)))
        return FlasherResult::Succeeded;
    const std::string lastWords =
        got > 0 ? ReasonAfterResult(buffer.data(), static_cast<std::size_t>(got)) : "";
    show(lastWords.empty()
             ? std::string(res::LoadString(failureMessage))
             : WithLine(res::LoadString(failureMessage), "The flasher reported: " + lastWords));
    return FlasherResult::Failed;
}

}  // namespace

bool EndLingeringFlasher(std::uint32_t graceMs, long* stillRunning) {
    if (gLingering == nullptr) return true;
    if (!gLingering->process->WaitEnded(0)) {
        gLingering->process->PassOn(SIGTERM);
        if (!gLingering->process->WaitEnded(graceMs)) {
            if (stillRunning != nullptr) *stillRunning = gLingering->process->Id();
            return false;
        }
    }
    delete gLingering;
    gLingering = nullptr;
    return true;
}

FlasherResult RunFlasher(const std::string& firmwareFile, std::int32_t port,
                         std::int32_t connectSpeed, std::int32_t transferSpeed,
                         std::uint32_t completionLimitMs, int failureMessage,
                         const FlasherSurroundings& surroundings) {
    const FlasherResult result = RunOnce(firmwareFile, port, connectSpeed, transferSpeed,
                                         completionLimitMs, failureMessage, surroundings);
    if (surroundings.finished) surroundings.finished(result);
    return result;
}
