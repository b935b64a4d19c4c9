// POSIX: posix_spawn (never a shell), a pidfd to wait with a limit, a private folder per run, the
// ending signals held off while the flasher runs, and the result file opened without following
// links.
#include "source/platform/FlasherProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "source/platform/StopSignal.h"
#include "source/platform/posix/AbandonedFolders.h"
#include "source/platform/posix/CommandLine.h"
#include "source/platform/posix/SpawnSetup.h"
#include "source/platform/posix/UniqueFd.h"

extern char** environ;

namespace flasher_os {

const char kPathSeparator = '/';

std::string OwnFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe =
        length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
    if (exe.empty()) {
        // Without /proc: the path the program was started by, when it names the file whole (a
        // relative one would depend on a current folder that may have changed since).
        const auto* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
        if (started != nullptr && started[0] == '/') exe = started;
    }
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::size_t PathLength(const std::string& path) {
    return path.size();
}

std::string TempFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

namespace {

using Clock = std::chrono::steady_clock;

class PosixRunFolder final : public RunFolder {
  public:
    explicit PosixRunFolder(std::string path) : path_(std::move(path)) {}
    ~PosixRunFolder() override {
        std::error_code ignored;  // links inside are removed themselves, never followed
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const override { return path_; }

  private:
    std::string path_;  // with the trailing '/'
};

class PosixFlasherProcess final : public FlasherProcess {
  public:
    explicit PosixFlasherProcess(pid_t pid)
        : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}

    ~PosixFlasherProcess() override {
        pidfd_.reset();
        if (!reaped_) {
            // The wizard has given up on this flasher; it keeps running and is reaped here when
            // it ends, so it never lingers as a zombie.
            std::thread([pid = pid_] {
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        }
    }

    bool WaitEnded(std::uint32_t ms) override {
        if (reaped_) return true;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (TryReap()) return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            // Emptied before the look, so that a signal noted after it still wakes the poll; a
            // wake for a signal another watch took (the bench's SIGINT) is not ours to wait on.
            stop_signal::DrainWake();
            if (left <= 0 || StopNoted()) return false;
            if (pidfd_) {
                const int wake = static_cast<int>(stop_signal::WakeHandle());
                pollfd p[2] = {{pidfd_.get(), POLLIN, 0}, {wake, POLLIN, 0}};
                const int ready = poll(p, wake >= 0 ? 2 : 1,
                                       static_cast<int>(std::min<long long>(left, INT_MAX)));
                if (ready < 0 && errno != EINTR) return false;
            } else {
                // No pidfd (older kernel): look again every few milliseconds up to the deadline.
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::min<long long>(left, 5)));
            }
        }
    }

    void PassOn(int signal) override {
        if (!reaped_) kill(pid_, signal);
    }
    long Id() const override { return static_cast<long>(pid_); }

  private:
    bool TryReap() {
        int status = 0;
        pid_t r;
        do {
            r = waitpid(pid_, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid_ || (r < 0 && errno == ECHILD)) reaped_ = true;
        return reaped_;
    }

    pid_t pid_;
    UniqueFd pidfd_;
    bool reaped_ = false;
};

}  // namespace

std::unique_ptr<RunFolder> MakeRunFolder(const std::string& tempFolder, std::string& reason) {
    // Folders of wizards that were killed outright go first (once their flashers have ended).
    RemoveAbandonedFolders(tempFolder, "reflasher-");
    std::string pattern = tempFolder + "reflasher-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {  // mode 0700
        reason = std::strerror(errno);
        return nullptr;
    }
    NoteOwner(pattern + '/');
    return std::make_unique<PosixRunFolder>(pattern + '/');
}

std::unique_ptr<FlasherProcess> StartFlasher(const std::string& programFolder,
                                             const std::string& commandLine,
                                             const std::string& runFolder,
                                             const StandardStreams& streams) {
    std::vector<std::string> args = SplitWindowsCommandLine(commandLine);
    if (args.empty() || args[0].empty() || programFolder.empty()) return nullptr;

    // The program comes from the wizard's folder only; the path is made absolute because the
    // child changes its folder before the program is looked up.
    std::string folder = programFolder;
    if (folder[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return nullptr;
        folder = std::string(cwd) + '/' + folder;
    }
    const std::string program = folder + '/' + args[0];

    SpawnSetup setup;
    int flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (!streams.terminal.empty()) {
        // A session of its own (set up before the file actions run), in which opening the
        // terminal makes it the controlling one.
        flags |= POSIX_SPAWN_SETSID;
        if (posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, streams.terminal.c_str(),
                                             O_RDWR, 0) != 0 ||
            posix_spawn_file_actions_adddup2(&setup.actions, STDIN_FILENO, STDOUT_FILENO) != 0 ||
            posix_spawn_file_actions_adddup2(&setup.actions, STDIN_FILENO, STDERR_FILENO) != 0)
            return nullptr;
    } else {
        const int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
        const int sources[3] = {streams.input, streams.output, streams.error};
        for (int k = 0; k < 3; ++k) {
            if (sources[k] >= 0 &&
                posix_spawn_file_actions_adddup2(&setup.actions, sources[k], targets[k]) != 0)
                return nullptr;
        }
    }
    if (posix_spawn_file_actions_addchdir_np(&setup.actions, runFolder.c_str()) != 0)
        return nullptr;
    if (posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3) != 0) return nullptr;

    // The flasher starts with default signal handling and nothing blocked, whatever the wizard
    // (or its front end, while the flasher has the terminal) does with its own signals.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal :
         {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, SIGCHLD})
        sigaddset(&defaults, signal);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setflags(&setup.attributes, static_cast<short>(flags));

    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The wizard's environment, with the run folder as the temporary folder.
    std::string tmpdir = "TMPDIR=" + runFolder;
    if (tmpdir.size() > 8 && tmpdir.back() == '/') tmpdir.pop_back();
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) envp.push_back(*e);
    }
    envp.push_back(tmpdir.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                    envp.data()) != 0)
        return nullptr;
    return std::make_unique<PosixFlasherProcess>(pid);
}

void RemoveFile(const std::string& path) {
    unlink(path.c_str());
}

int ReadResultFile(const std::string& path, char* buffer, std::size_t size) {
    // O_NONBLOCK: a FIFO planted under the name must not block the wizard.
    const UniqueFd file(
        open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) return -1;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) return -1;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t r = read(fd, buffer + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<int>(got);
}

}  // namespace flasher_os
