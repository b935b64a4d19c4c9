// The service bench's seam to the operating system: the station's runs as child processes with
// their output on a pipe, the flasher's console output captured for the events, the station's
// private temporary folder, the console, and the few facts the run report takes from the system.
// The record file's locking is RecordFile's (service/RecordFile.h), implemented beside these.
// One implementation per platform folder (posix/, win32/ files of the same names); the stop
// signals are the flasher hand-off's (source/platform/StopSignal.h).
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flasher_os {
struct StandardStreams;
}

namespace service_os {

// ---- The station's runs ---------------------------------------------------------------------
struct RunCommand {
    std::string program;                 // started by this path, never looked up
    std::vector<std::string> arguments;  // after the program's name
    std::string tempFolder;              // its temporary folder (TMPDIR; TMP and TEMP on Windows)
};

// One run started by the station, in a process group of its own (a console's Ctrl+C reaches the
// station only, which passes the stop on to every run in the same way), with its standard output
// and error on one pipe and nothing on its input. Dropping it closes the pipe; a run must have
// been waited for first.
class RunProcess {
  public:
    virtual ~RunProcess() = default;
    virtual long id() const = 0;
    // What the run wrote since: the bytes read, 0 once its output has ended, -1 when nothing is
    // there now.
    virtual long read(char* buffer, std::size_t size) = 0;
    // Waits until the run has ended; its exit code, 128 + the signal that ended it.
    virtual int wait() = 0;
    // Asks the run to stop as a stop signal would (POSIX: SIGTERM to its group; Windows: Ctrl+Break
    // to its group).
    virtual void stop() = 0;
};

// Null with `why` (the system's words) when it cannot be started.
std::unique_ptr<RunProcess> StartRun(const RunCommand& command, std::string& why);

// Waits up to `ms` milliseconds until one of `runs` has output (or the end of it) to read, or a
// stop signal is noted.
void WaitForOutput(const std::vector<RunProcess*>& runs, int ms);

// ---- The flasher's console during an unattended run ------------------------------------------
// While one lives, the flasher started with `console` writes into a pipe read on a thread of
// its own, which hands what comes to `take` (in pieces as they come) and reads nothing. Where
// the flasher gets a console of its own (Windows) there is nothing to capture.
class FlasherCapture {
  public:
    virtual ~FlasherCapture() = default;
};
std::unique_ptr<FlasherCapture> CaptureFlasherConsole(
    flasher_os::StandardStreams& console, std::function<void(const char*, std::size_t)> take);

// ---- Folders, the console, the system -----------------------------------------------------------
// The running executable, to start the station's runs from; `argv0` when it cannot be told.
std::string OwnProgram(const char* argv0);

// A folder of the station's own, made fresh in the temporary folder and open to this user only,
// without its trailing separator; folders of stations killed outright are removed first. Empty
// with `why` when it cannot be made.
std::string MakeStationFolder(std::string& why);
// A folder inside it, for one run, open to this user only; false with `why` when it cannot be made.
bool MakePrivateFolder(const std::string& path, std::string& why);

// Output that cannot be written (whoever read it went away) fails from now on instead of ending
// the program (POSIX: SIGPIPE ignored; Windows has no such signal).
void IgnoreBrokenPipe();

bool IsTerminal(std::FILE* stream);
// Whether the terminal `stream` shows in takes cursor movement (ANSI sequences): a terminal does;
// a Windows console does once virtual-terminal processing could be switched on (Windows 10 and
// later), older consoles take plain lines only.
bool TakesCursorMovement(std::FILE* stream);
// The width of the terminal or console `stream` shows in; `fallback` when it cannot be told.
int ConsoleWidth(std::FILE* stream, int fallback);

// Sets the environment variable for this process and the programs it starts.
void SetEnvironment(const std::string& name, const std::string& value);

std::string HostName();
// Where `device` leads when it is a link (a by-id name to its tty); nothing when it cannot be told.
std::optional<std::string> DeviceTarget(const std::string& device);

}  // namespace service_os
