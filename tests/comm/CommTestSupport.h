// Pseudo-terminals, waits on conditions and a notice recorder for the engine's tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/Comm.h"
#include "link/Conversation.h"

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

}  // namespace commtest

// Pty: a pseudo-terminal whose slave is COM port n, the test holding its master. Under Wine the
// master lives on the Linux side, driven through reflasher-pty-broker.
#ifdef _WIN32
#include "tests/wine/RemotePty.h"
namespace commtest {
using Pty = winetest::RemotePty;
// Above every COM port that run-under-wine maps, and every port a PC usually has.
class MissingPort {
  public:
    std::int32_t Number() const { return 200; }
};
// Why a second open of one port cannot be refused here, or null. (Wine does not refuse a second
// CreateFile of a COM port, but the port's claim does.)
inline const char* SecondOpenNotRefusedBecause() {
    return nullptr;
}
}  // namespace commtest
#else
#include "tests/comm/posix/Pty.h"
#endif

namespace commtest {

// The engine's suites open their ports with the receiver's line settings.
inline CommPortConfig LineConfig(std::int32_t port, std::uint32_t baud = 19200) {
    return ConnectingLine(port, baud);
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
