// Events and locks on the C++ standard library, built in the storage that Sync.h sets aside.
#include "comm/platform/Sync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace comm::platform {

namespace {

struct EventState {
    std::mutex mutex;
    std::condition_variable raised;
    bool signalled = false;  // guarded by mutex
};

}  // namespace

Event::Event() {
    new (native_) EventState;
}

Event::~Event() {
    In<EventState>(native_).~EventState();
}

void Event::Set() {
    EventState& state = In<EventState>(native_);
    std::lock_guard hold(state.mutex);
    state.signalled = true;
    state.raised.notify_all();
}

void Event::Reset() {
    EventState& state = In<EventState>(native_);
    std::lock_guard hold(state.mutex);
    state.signalled = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    EventState& state = In<EventState>(native_);
    std::unique_lock hold(state.mutex);
    if (timeoutMs == kWaitForever) {
        state.raised.wait(hold, [&state] { return state.signalled; });
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return state.raised.wait_until(hold, deadline, [&state] { return state.signalled; });
}

Lock::Lock() {
    new (native_) std::mutex;
}

Lock::~Lock() {
    In<std::mutex>(native_).~mutex();
}

void Lock::Enter() {
    In<std::mutex>(native_).lock();
}

void Lock::Leave() {
    In<std::mutex>(native_).unlock();
}

}  // namespace comm::platform
