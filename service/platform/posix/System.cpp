// POSIX: the station's folders (mode 0700, swept like the flasher's run folders), the terminal,
// the host's name and where a device link leads.
#include "service/platform/ServiceOs.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "source/platform/posix/AbandonedFolders.h"

namespace service_os {

std::string OwnProgram(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string(argv0);
}

std::string MakeStationFolder(std::string& why) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string parent =
        std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/";
    // Folders of stations (and their runs) that were killed outright go first.
    flasher_os::RemoveAbandonedFolders(parent, "reflasher-station-");
    std::string base = parent + "reflasher-station-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) {
        why = std::strerror(errno);
        return {};
    }
    flasher_os::NoteOwner(base + "/");
    return base;
}

bool MakePrivateFolder(const std::string& path, std::string& why) {
    if (mkdir(path.c_str(), 0700) == 0) return true;
    why = std::strerror(errno);
    return false;
}

void IgnoreBrokenPipe() {
    signal(SIGPIPE, SIG_IGN);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool TakesCursorMovement(std::FILE* stream) {
    return IsTerminal(stream);
}

int ConsoleWidth(std::FILE* stream, int fallback) {
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col
                                                                             : fallback;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::optional<std::string> DeviceTarget(const std::string& device) {
    char* target = realpath(device.c_str(), nullptr);
    if (target == nullptr) return std::nullopt;
    std::string path = target;
    free(target);
    return path;
}

}  // namespace service_os
