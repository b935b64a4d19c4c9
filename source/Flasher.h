// Running the external flasher prog.exe and reading its result file.
//
// Threads: RunFlasher runs on the user-interface thread and blocks it while it waits on the
// flasher (500 ms, then up to the completion limit). Between runs it keeps only a flasher that ran
// past its limit, so that no second one starts while that one still writes to the receiver.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "source/platform/FlasherProcess.h"
#include "ui/ConsoleLender.h"

enum class FlasherResult { Succeeded, NotStarted, EndedEarly, TimedOut, Failed };

// The completion limits of the two roads, counted from 500 ms after the flasher's start.
inline constexpr std::uint32_t kUpdateCompletionLimitMs = 240000;
inline constexpr std::uint32_t kRestoreCompletionLimitMs = 540000;

// What one run hands the flasher, for those who watch the runs (FlasherSurroundings::started).
struct FlasherRun {
    std::string firmwareFile;  // the bare file name
    std::int32_t port = 0;
    std::int32_t connectSpeed = 0;
    std::int32_t transferSpeed = 0;
    std::uint32_t completionLimitMs = 0;
    std::string commandLine;
};

// What RunFlasher needs from its surroundings. The defaults are the real ones; tests and the
// front ends replace what they must.
struct FlasherSurroundings {
    // Shows one failure message (the wizard's standard message box). Required.
    std::function<void(const std::string& text)> showMessage;
    // The folder that holds the wizard (and prog.exe and the firmware files), without a trailing
    // separator. Empty: the folder of the running executable.
    std::string programFolder;
    // The temporary folder, with a trailing separator. Empty: the system's ($TMPDIR or /tmp on
    // POSIX). Each run makes a folder of its own inside it for the flasher and its result file.
    std::string tempFolder;
    // The flasher's "new console window", as the front end's back end lends it
    // (ui::Backend::console): the terminal, a console window of the wizard's own, or the flasher's
    // own console on Windows. RunFlasher takes it back on every way out, before any message. The
    // flasher itself always starts with the default signal dispositions. Null: none.
    ui::ConsoleLender* console = nullptr;
    // The flasher's standard streams where the console lends no terminal (the wizard's own by
    // default); the headless and unattended front ends capture its output here.
    flasher_os::StandardStreams streams;
    // Told of every run's start, just before the flasher is started, with what it is handed.
    // May be left empty.
    std::function<void(const FlasherRun&)> started;
    // Told of every run's result, once its message (if any) has been shown. May be left empty.
    std::function<void(FlasherResult)> finished;
    // Told, with its process id, of a flasher that was passed the wizard's stop signal and had
    // not ended when the grace period was over: it is left to finish its write (stopping it
    // harder could leave the receiver without firmware). May be left empty.
    std::function<void(long processId)> leftRunning;
};

// Starts prog.exe from the program folder with the firmware file's path, the port and the two
// speeds, in a folder of the run's own inside the temporary folder (its current and temporary
// folder), waits for it, reads status.err there and removes the folder. Every failure has been
// shown through showMessage when it returns (strings 120, 125, 126, or `failureMessage`, with a
// line of its own under the string where there is more to say, such as the flasher's last words).
// SIGTERM or SIGHUP while the flasher runs is passed on to it; once it has ended (or after a
// grace period) the run's folder is removed and the wizard ends of that signal.
FlasherResult RunFlasher(const std::string& firmwareFile, std::int32_t port,
                         std::int32_t connectSpeed, std::int32_t transferSpeed,
                         std::uint32_t completionLimitMs, int failureMessage,
                         const FlasherSurroundings& surroundings);

// Ends a flasher that ran past its completion limit and still runs (RunFlasher leaves it running
// and refuses a second one while it lives): passes it SIGTERM, waits up to `graceMs` for it, and
// removes its folder. For a front end that ends while nobody is left to watch that flasher (an
// unattended run); the interactive wizard never calls it. True when no such flasher is left;
// otherwise its process id goes to `stillRunning` when given.
bool EndLingeringFlasher(std::uint32_t graceMs, long* stillRunning = nullptr);

// The command line RunFlasher hands the flasher:
//   prog.exe "<programFolder><separator><firmwareFile>" <port> P <connectSpeed> <transferSpeed>
// The separator is the platform's own ('/' on POSIX, '\' on Windows), so that the flasher can
// open the file; on POSIX the line is split into arguments by the Windows quoting rules, and a
// quote or backslashes in the folder's name are escaped by them so that the path arrives whole.
std::string FlasherCommandLine(const std::string& programFolder, const std::string& firmwareFile,
                               std::int32_t port, std::int32_t connectSpeed,
                               std::int32_t transferSpeed);
