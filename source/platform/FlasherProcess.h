// The flasher hand-off's seam to the operating system: the wizard's own folder, the temporary
// folder, the run's private folder, starting the flasher and waiting for it, and the result file.
// One implementation per platform folder (posix/, win32/). Only RunFlasher uses it, on the
// user-interface thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace flasher_os {

// Separates a folder from a file name in the paths the flasher is given.
extern const char kPathSeparator;

// The folder of the running executable, without a trailing separator; empty when it cannot be
// told (the flasher is then not started: it is never looked for anywhere else).
std::string OwnFolder();

// The temporary folder, with a trailing separator. It may be longer than the flasher's path
// buffers allow; RunFlasher checks that.
std::string TempFolder();

// How many characters the system counts in `path` (UTF-8 on this side): UTF-16 units on
// Windows, where a path of MAX_PATH or more cannot be used by the flasher's calls; bytes on POSIX.
std::size_t PathLength(const std::string& path);

// `path` as one argument of a Windows-style command line: in double quotes, with whatever the
// flasher's argument splitting would take apart escaped, so that it arrives whole.
std::string QuotedArgument(const std::string& path);

// A folder of one flasher run's own, made fresh inside the temporary folder and open to this user
// only; removed with everything in it when dropped (links are removed, never followed).
class RunFolder {
  public:
    virtual ~RunFolder() = default;
    // The folder, with a trailing separator.
    virtual const std::string& Path() const = 0;
};

// Makes a run folder in `tempFolder` (which ends with a separator). Null with `reason` (the
// system's error text) when it cannot be made.
std::unique_ptr<RunFolder> MakeRunFolder(const std::string& tempFolder, std::string& reason);

// Descriptors for the flasher's standard input, output and error; -1: the wizard's own. Not
// used on Windows, where the flasher gets a console window of its own.
struct StandardStreams {
    int input = -1;
    int output = -1;
    int error = -1;
    // POSIX: a terminal device that the flasher opens as its standard streams and controlling
    // terminal in a new session, in place of the descriptors. Empty: none.
    std::string terminal;
};

// One started flasher. Dropping it releases the wizard's handles; a flasher still running keeps
// running and is reaped when it ends.
class FlasherProcess {
  public:
    virtual ~FlasherProcess() = default;
    // Waits up to `ms` milliseconds; true when the process has ended (by then or earlier). A
    // failed wait counts as not ended, and so does a wait cut short by a stop request (StopWatch).
    virtual bool WaitEnded(std::uint32_t ms) = 0;
    // Passes the signal that ends the wizard on to the flasher.
    virtual void PassOn(int signal) = 0;
    // The process id, for those told of a flasher left running; 0 where the platform has none.
    virtual long Id() const { return 0; }
};

// Starts the program named first on `commandLine`, taken from `programFolder` (never looked up
// elsewhere), with the rest of the line as its arguments. `runFolder` becomes its current folder
// and its temporary folder (TMPDIR on POSIX; TMP and TEMP on Windows); otherwise it gets the
// wizard's environment and `streams`, and inherits no other descriptor or handle. Null when it
// cannot be started.
std::unique_ptr<FlasherProcess> StartFlasher(const std::string& programFolder,
                                             const std::string& commandLine,
                                             const std::string& runFolder,
                                             const StandardStreams& streams);

// While one lives, the signals that ask the wizard to end (SIGTERM, SIGHUP) do not end it at
// once: they cut the flasher waits short and TakeStopRequest names them, so that the wizard can
// pass them on to the flasher, wait for it and clean up first. A signal that whoever started the
// wizard ignores stays ignored. Dropping it puts the previous handling back.
class StopWatch {
  public:
    virtual ~StopWatch() = default;
    // Whether a signal asked the wizard to end and has not been taken yet.
    virtual bool StopPending() const = 0;
    // The signal that asked the wizard to end, or 0. Once taken it no longer cuts waits short.
    virtual int TakeStopRequest() = 0;
    // Puts the previous handling back and delivers `signal` to it (which normally ends the
    // wizard); returns if that handling lets the wizard live on.
    virtual void EndAsAsked(int signal) = 0;
};
std::unique_ptr<StopWatch> WatchForStop();
// For the platform's flasher waits: whether the live StopWatch noted a stop not yet taken.
bool StopNoted();

// Removes the file at `path`; a symbolic link is removed itself, never what it points to.
void RemoveFile(const std::string& path);

// Reads up to `size` bytes of the result file at `path` into `buffer`. The file is opened only
// when it is a regular file owned by the current user and `path` is not a symbolic link.
// Returns the bytes read, or -1 when it cannot be opened.
int ReadResultFile(const std::string& path, char* buffer, std::size_t size);

}  // namespace flasher_os
