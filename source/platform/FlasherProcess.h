// The flasher hand-off's seam to the operating system: the wizard's own folder, the temporary
// folder, starting the flasher and waiting for it, and the result file. One implementation per
// platform folder (posix/ now, win32/ later). Only RunFlasher uses it, on the user-interface
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace flasher_os {

// Separates a folder from a file name in the paths the flasher is given.
extern const char kPathSeparator;

// The folder of the running executable, without a trailing separator.
std::string OwnFolder();

// The temporary folder, with a trailing separator.
std::string TempFolder();

// Descriptors for the flasher's standard input, output and error; -1: the wizard's own.
struct StandardStreams {
    int input = -1;
    int output = -1;
    int error = -1;
};

// One started flasher. Dropping it releases the wizard's handles; a flasher still running keeps
// running and is reaped when it ends.
class FlasherProcess {
public:
    virtual ~FlasherProcess() = default;
    // Waits up to `ms` milliseconds; true when the process has ended (by then or earlier).
    // A failed wait counts as not ended.
    virtual bool WaitEnded(std::uint32_t ms) = 0;
};

// Starts the program named first on `commandLine`, taken from `programFolder` (never looked up
// elsewhere), with the rest of the line as its arguments, `workingFolder` as its current folder,
// the wizard's environment and `streams`; it inherits no other descriptor. Null when it cannot
// be started.
std::unique_ptr<FlasherProcess> StartFlasher(const std::string& programFolder,
                                             const std::string& commandLine,
                                             const std::string& workingFolder,
                                             const StandardStreams& streams);

// Removes the file at `path`; a symbolic link is removed itself, never what it points to.
void RemoveFile(const std::string& path);

// Reads up to `size` bytes of the result file at `path` into `buffer`. The file is opened only
// when it is a regular file owned by the current user and `path` is not a symbolic link (the
// temporary folder may be shared). Returns the bytes read, or -1 when it cannot be opened.
int ReadResultFile(const std::string& path, char* buffer, std::size_t size);

}  // namespace flasher_os
