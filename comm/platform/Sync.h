// Events, locks and threads for the engine, without heap use: every object lives in the engine's
// static storage and is set up once, when that storage is built.
//
// The classes are the same on every platform; what they hold is the platform's own (a mutex and
// a condition variable on POSIX, an event handle or a critical section on Windows). It lives in
// fixed-size storage here, so that no OS header reaches the engine's shared code: each
// platform's Sync.cpp builds its object in that storage and checks at compile time that it fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace comm::platform {

// The platform's object built in a class's fixed-size storage (for each platform's Sync.cpp).
template <typename State, std::size_t Size>
State& In(unsigned char (&storage)[Size]) {
    static_assert(sizeof(State) <= Size && alignof(State) <= alignof(std::max_align_t));
    return *std::launder(reinterpret_cast<State*>(storage));
}

inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// A manual-reset event: stays raised until reset; any thread may raise, reset or wait.
class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // True when raised within timeoutMs (kWaitForever: no limit).
    bool Wait(std::uint32_t timeoutMs);

  private:
    alignas(std::max_align_t) unsigned char native_[128];
};

class Lock {
  public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void Enter();
    void Leave();

  private:
    alignas(std::max_align_t) unsigned char native_[64];
};

class LockHold {
  public:
    explicit LockHold(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~LockHold() { lock_.Leave(); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

  private:
    Lock& lock_;
};

// A detached thread: nobody joins it; it says itself when it is done.
class Thread {
  public:
    using Procedure = void (*)(void* argument);
    // Starts procedure(argument). A time-critical thread runs at the platform's highest
    // priority where it may (on POSIX it falls back to normal priority when real-time scheduling
    // is refused). False when no thread could be started.
    bool Start(Procedure procedure, void* argument, bool timeCritical);
    bool Started() const { return started_; }
    // The new thread's body; the platform's thread entry calls it on that thread.
    void Run() { procedure_(argument_); }

  private:
    // Written by the starting thread before the thread exists.
    Procedure procedure_ = nullptr;
    void* argument_ = nullptr;
    bool started_ = false;
};

void SleepMs(std::uint32_t milliseconds);

// Shows one of the engine's trouble notices (no owner window; returns once acknowledged).
using NoticeFunction = void (*)(const char* caption, const char* text);
void SetNoticeFunction(NoticeFunction function);
void ShowNotice(const char* caption, const char* text);

}  // namespace comm::platform
