// Pseudo-terminals, waits on conditions and a notice recorder for the engine's tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/Comm.h"

namespace commtest {

// Generous: the tests run on a loaded machine under sanitizers.
inline constexpr std::chrono::seconds kPatience{20};

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds patience = kPatience) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A pseudo-terminal whose slave is COM port `port` for the engine (through REFLASHER_COM<port>).
class Pty {
  public:
    explicit Pty(int port) : port_(port) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) return;
        slave_ = name;
        setenv(Variable().c_str(), slave_.c_str(), 1);
    }
    ~Pty() {
        unsetenv(Variable().c_str());
        CloseMaster();
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    // Writes everything, waiting for room as needed; false when the time runs out.
    bool Send(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (done < bytes.size()) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd fd{master_, POLLOUT, 0};
            poll(&fd, 1, 10);
        }
        return true;
    }

    // Reads exactly `count` bytes unless the time runs out.
    std::vector<std::uint8_t> Receive(std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (done < count && std::chrono::steady_clock::now() < deadline) {
            ssize_t n = read(master_, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            // Pauses also when the slave side is closed (then the master reports a hang-up).
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        bytes.resize(done);
        return bytes;
    }

    // Takes whatever the far end holds right now, without waiting.
    void Drain() {
        std::uint8_t scrap[4096];
        while (read(master_, scrap, sizeof scrap) > 0) {
        }
    }

  private:
    std::string Variable() const { return "REFLASHER_COM" + std::to_string(port_); }

    int port_;
    int master_ = -1;
    std::string slave_;
};

inline CommPortConfig LineConfig(std::int32_t port, std::uint32_t baud = 19200) {
    CommPortConfig config{};
    config.port = port;
    config.baud = baud;
    config.dataBits = 8;
    config.parity = 0;
    config.stopBits = 1;
    config.spare[2] = 5000;
    config.spare[3] = 3000;
    config.spare[4] = 3000;
    return config;
}

inline std::vector<std::uint8_t> Pattern(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

// Collects the engine's notices for one test.
class NoticeRecorder {
  public:
    NoticeRecorder() {
        Instance() = this;
        CommSetNoticeHook(&Record);
    }
    ~NoticeRecorder() {
        CommSetNoticeHook(nullptr);
        Instance() = nullptr;
    }
    std::vector<std::string> Texts() {
        std::lock_guard hold(mutex_);
        return texts_;
    }

  private:
    static NoticeRecorder*& Instance() {
        static NoticeRecorder* instance = nullptr;
        return instance;
    }
    static void Record(const char* caption, const char* text) {
        NoticeRecorder* self = Instance();
        std::lock_guard hold(self->mutex_);
        self->texts_.push_back(std::string(caption) + "|" + text);
    }
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace commtest
