// A program of this build run as a child process for the service-bench tests: its standard output
// and error collected by a thread of its own, so that a test can wait for what it says (with
// generous deadlines: everything runs under the sanitizers on a loaded machine), signal it, and
// collect its exit code.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/unattended/BenchCases.h"

extern char** environ;

namespace bench_test {

using namespace std::chrono_literals;

// Generous: a run of the wizard under the sanitizers takes seconds, a station more.
constexpr auto kPatience = 180s;

inline std::filesystem::path BinFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}
inline std::string Reflasher() {
    return (BinFolder() / "reflasher").string();
}

class Child {
  public:
    // Starts `args` (args[0] a path) with our environment, where `env` ("NAME=value") replaces or
    // adds variables and "NAME=" alone removes one. Standard input is /dev/null.
    Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
          std::function<void()> inChild = {}) {
        std::vector<std::string> environment;
        auto named = [](const std::string& a, const std::string& b) {
            return a.substr(0, a.find('=') + 1) == b.substr(0, b.find('=') + 1);
        };
        for (char** e = environ; *e != nullptr; ++e) {
            bool replaced = false;
            for (const std::string& x : env) replaced = replaced || named(*e, x);
            if (!replaced) environment.emplace_back(*e);
        }
        for (const std::string& x : env) {
            if (x.back() != '=') environment.push_back(x);
        }
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (inChild) {
            // Something must happen in the child before the program runs (a change of user).
            pid_ = fork();
            if (pid_ == 0) {
                dup2(fds[1], 1);
                dup2(fds[1], 2);
                const int null = open("/dev/null", O_RDONLY);
                dup2(null, 0);
                inChild();
                execve(argv[0], argv.data(), envp.data());
                _exit(127);
            }
        } else {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
            posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
            if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
                pid_ = -1;
            posix_spawn_file_actions_destroy(&actions);
        }
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                std::lock_guard<std::mutex> hold(lock_);
                if (n <= 0) {
                    closed_ = true;
                    changed_.notify_all();
                    break;
                }
                output_.append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
            close(fd);
        });
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() {
        std::lock_guard<std::mutex> hold(lock_);
        return output_;
    }
    // Waits until `predicate` holds for the output so far; false when the output ended or the
    // deadline passed first.
    bool waitForOutput(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::seconds patience = kPatience) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, patience, [&] { return predicate(output_) || closed_; }) &&
               predicate(output_);
    }
    // Waits for the program to end; its exit code (128 + the signal when a signal ended it), or
    // -1 when it did not end within the patience (it is then killed).
    int exitCode(std::chrono::seconds patience = kPatience) {
        if (pid_ <= 0) return -1;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the program did not end in time:\n" << output();
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            std::this_thread::sleep_for(20ms);
        }
        reaped_ = true;
        // The output may still be open in a process the program left behind: it is read on.
        waitForOutput([](const std::string&) { return false; }, 5s);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // The output's lines that are JSON objects.
    std::vector<nlohmann::json> events() {
        std::vector<nlohmann::json> found;
        const std::string text = output();
        std::size_t start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            nlohmann::json j =
                nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
            if (j.is_object()) found.push_back(std::move(j));
            start = end + 1;
        }
        return found;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string output_;   // guarded by lock_
    bool closed_ = false;  // guarded by lock_
    std::thread reader_;
};

using bench_cases::Named;

// The processes that work (have their current folder) inside `folder`.
inline std::vector<pid_t> ProcessesIn(const std::string& folder) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string cwd = std::filesystem::read_symlink(process.path() / "cwd", ec).string();
        if (!ec && cwd.rfind(folder, 0) == 0)
            found.push_back(std::atoi(process.path().filename().c_str()));
    }
    return found;
}
inline bool AnyProcessIn(const std::string& folder) {
    return !ProcessesIn(folder).empty();
}

}  // namespace bench_test
