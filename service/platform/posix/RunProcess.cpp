// POSIX: the station's runs by posix_spawn, each in a process group of its own with its output on
// a pipe; the flasher's console captured through a pipe read on a thread of its own.
#include "service/platform/ServiceOs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "service/RunReport.h"
#include "source/Flasher.h"
#include "source/platform/StopSignal.h"
#include "source/platform/posix/SpawnSetup.h"
#include "source/platform/posix/UniqueFd.h"

extern char** environ;

namespace service_os {
namespace {

class PosixRun final : public RunProcess {
  public:
    PosixRun(pid_t pid, UniqueFd output) : pid_(pid), output_(std::move(output)) {}
    ~PosixRun() override {
        // Not waited for (the station failed on its way): the run is told to end and reaped, so
        // that none is left behind as a zombie.
        if (!reaped_) {
            kill(pid_, SIGTERM);
            wait();
        }
    }

    long id() const override { return static_cast<long>(pid_); }
    int descriptor() const { return output_.get(); }

    long read(char* buffer, std::size_t size) override {
        if (!output_) return 0;
        const ssize_t n = ::read(output_.get(), buffer, size);
        if (n >= 0) return static_cast<long>(n);
        return errno == EAGAIN || errno == EINTR ? -1 : 0;
    }

    int wait() override {
        output_.reset();
        if (reaped_) return exitCode_;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        if (WIFEXITED(status)) {
            exitCode_ = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            exitCode_ = kExitSignalBase + WTERMSIG(status);
        }
        return exitCode_;
    }

    void stop() override {
        if (!reaped_) kill(pid_, SIGTERM);
    }

  private:
    pid_t pid_;
    UniqueFd output_;  // the run's standard output and error, read here (non-blocking)
    bool reaped_ = false;
    int exitCode_ = kExitIncomplete;
};

class PipeCapture final : public FlasherCapture {
  public:
    PipeCapture(UniqueFd read, UniqueFd write, UniqueFd nothing,
                std::function<void(const char*, std::size_t)> take)
        : read_(std::move(read)),
          write_(std::move(write)),
          nothing_(std::move(nothing)),
          take_(std::move(take)) {
        thread_ = std::thread([this] { run(); });
    }
    ~PipeCapture() override {
        stop_ = true;
        thread_.join();
    }

  private:
    void run() {
        char buffer[1024];
        // Told to stop, it still takes what the pipe holds: a flasher's last words come just
        // before its end. (We hold a write end ourselves, so an empty pipe never reads as ended.)
        for (;;) {
            pollfd p{read_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                if (stop_) break;
                continue;
            }
            const ssize_t n = ::read(read_.get(), buffer, sizeof buffer);
            if (n > 0) take_(buffer, static_cast<std::size_t>(n));
        }
    }

    UniqueFd read_, write_, nothing_;
    std::function<void(const char*, std::size_t)> take_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<RunProcess> StartRun(const RunCommand& command, std::string& why) {
    std::vector<std::string> args = {command.program};
    args.insert(args.end(), command.arguments.begin(), command.arguments.end());
    // The run's environment: ours, with its private temporary folder.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
    }
    env.push_back("TMPDIR=" + command.tempFolder);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO);
    // A process group of its own: a terminal's Ctrl+C reaches the station only, which passes it
    // on as SIGTERM, so that every run ends the same way and is recorded.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
    sigemptyset(&none);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setflags(
        &setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, command.program.c_str(), &setup.actions, &setup.attributes,
                                   argv.data(), envp.data());
    if (result != 0) {
        why = std::strerror(result);
        return nullptr;
    }
    fcntl(readEnd.get(), F_SETFL, O_NONBLOCK);  // read() tells "nothing now" instead of waiting
    return std::make_unique<PosixRun>(pid, std::move(readEnd));
}

void WaitForOutput(const std::vector<RunProcess*>& runs, int ms) {
    std::vector<pollfd> fds;
    fds.push_back({static_cast<int>(stop_signal::WakeHandle()), POLLIN, 0});
    for (RunProcess* run : runs)
        fds.push_back({static_cast<PosixRun*>(run)->descriptor(), POLLIN, 0});
    poll(fds.data(), fds.size(), ms);
}

std::unique_ptr<FlasherCapture> CaptureFlasherConsole(
    flasher_os::StandardStreams& console, std::function<void(const char*, std::size_t)> take) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    UniqueFd read(fds[0]), write(fds[1]), nothing(open("/dev/null", O_RDWR | O_CLOEXEC));
    // No terminal: the flasher reads nothing and writes to the capture.
    console.input = nothing.get();
    console.output = write.get();
    console.error = write.get();
    return std::make_unique<PipeCapture>(std::move(read), std::move(write), std::move(nothing),
                                         std::move(take));
}

}  // namespace service_os
