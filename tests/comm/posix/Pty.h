// The Linux tests' pseudo-terminals: the test holds the master, the engine opens the slave as
// COM port n through REFLASHER_COM<n>.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace commtest {

// Generous: the tests run on a loaded machine under sanitizers.
inline constexpr std::chrono::seconds kPtyPatience{20};

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
        auto deadline = std::chrono::steady_clock::now() + kPtyPatience;
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
        auto deadline = std::chrono::steady_clock::now() + kPtyPatience;
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

// A COM port number with no device behind it, for as long as it lives.
class MissingPort {
  public:
    MissingPort() { setenv("REFLASHER_COM35", "/nonexistent/tty", 1); }
    ~MissingPort() { unsetenv("REFLASHER_COM35"); }
    MissingPort(const MissingPort&) = delete;
    MissingPort& operator=(const MissingPort&) = delete;
    std::int32_t Number() const { return 35; }
};

// Why a second open of one port cannot be refused here, or null.
inline const char* SecondOpenNotRefusedBecause() {
    return nullptr;
}

}  // namespace commtest
