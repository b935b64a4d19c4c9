// Events, locks and threads for the engine, without heap use: every object lives in the engine's
// static storage and is set up once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace comm::platform {

inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;

// A manual-reset event: stays raised until reset; any thread may raise, reset or wait.
class Event {
  public:
    void Set();
    void Reset();
    // True when raised within timeoutMs (kWaitForever: no limit).
    bool Wait(std::uint32_t timeoutMs);

  private:
    std::mutex mutex_;
    std::condition_variable raised_;
    bool signalled_ = false;  // guarded by mutex_
};

class Lock {
  public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }

  private:
    std::mutex mutex_;
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
    // Starts procedure(argument). A time-critical thread asks for real-time scheduling and runs
    // at normal priority when the system refuses that. False when no thread could be started.
    bool Start(Procedure procedure, void* argument, bool timeCritical);
    bool Started() const { return started_; }

  private:
    static void* Run(void* self);

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
