#include "source/platform/posix/AbandonedFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace flasher_os {

namespace {

constexpr const char* kNote = ".owner";

// The start time of process `pid` in clock ticks since boot (field 22 of its stat), or "" when it
// cannot be read (no /proc, or the process is gone).
std::string StartTime(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');  // the name in parentheses may hold blanks
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) return field;
    }
    return {};
}

// Whether the process the note names still runs (the same one: an id may be given again).
bool OwnerAlive(const std::string& folder) {
    std::ifstream in(folder + kNote);
    long pid = 0;
    std::string started;
    if (!(in >> pid >> started) || pid <= 0) return true;  // unreadable: not ours to judge
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
    const std::string now = StartTime(pid);
    return now.empty() || now == started;
}

bool Within(const std::string& path, const std::string& folder) {
    return path.size() + 1 >= folder.size() && (path + '/').compare(0, folder.size(), folder) == 0;
}

// Whether a process of this user works in `folder`: its current folder, or its TMPDIR, lies there.
bool ProcessWorksIn(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code unreadable;
        const std::string cwd =
            std::filesystem::read_symlink(entry.path() / "cwd", unreadable).string();
        if (!unreadable && Within(cwd, folder)) return true;
        std::ifstream environ(entry.path() / "environ");
        for (std::string variable; std::getline(environ, variable, '\0');) {
            if (variable.rfind("TMPDIR=", 0) == 0 && Within(variable.substr(7), folder))
                return true;
        }
    }
    return false;
}

}  // namespace

void NoteOwner(const std::string& folder) {
    const long pid = static_cast<long>(getpid());
    std::ofstream out(folder + kNote);
    out << pid << ' ' << StartTime(pid) << '\n';
}

void RemoveAbandonedFolders(const std::string& parent, const std::string& prefix) {
    DIR* dir = opendir(parent.c_str());
    if (dir == nullptr) return;
    const uid_t me = geteuid();
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string folder = parent + name + '/';
        struct stat info {};
        if (lstat((parent + name).c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != me)
            continue;
        if (access((folder + kNote).c_str(), F_OK) != 0 || OwnerAlive(folder) ||
            ProcessWorksIn(folder))
            continue;
        std::error_code ignored;  // links inside are removed themselves, never followed
        std::filesystem::remove_all(parent + name, ignored);
    }
    closedir(dir);
}

}  // namespace flasher_os
