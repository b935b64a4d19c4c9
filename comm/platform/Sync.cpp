#include "comm/platform/Sync.h"

#include <chrono>

namespace comm::platform {

void Event::Set() {
    std::lock_guard hold(mutex_);
    signalled_ = true;
    raised_.notify_all();
}

void Event::Reset() {
    std::lock_guard hold(mutex_);
    signalled_ = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    std::unique_lock hold(mutex_);
    if (timeoutMs == kWaitForever) {
        raised_.wait(hold, [this] { return signalled_; });
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return raised_.wait_until(hold, deadline, [this] { return signalled_; });
}

}  // namespace comm::platform
