// The stop signals, one mechanism for every part that must end cleanly when asked to: the flasher
// hand-off (RunFlasher's StopWatch), the service bench's unattended run and its station. While a
// watch lives, the signals it takes are noted instead of ending the program, and the wake handle
// becomes ready, so that a wait can be cut short; the innermost live watch takes them. Dropping a
// watch puts the previous handling back.
//
// POSIX: SIGINT, SIGTERM and SIGHUP, noted by an async-signal-safe handler that writes to a pipe.
// Windows: the console's control events (SetConsoleCtrlHandler), given the numbers of the POSIX
// signals they stand for, which the run report counts its exit codes with (128 + the number):
// Ctrl+C is 2 (SIGINT), Ctrl+Break and the closing of the console window are 15 (SIGTERM).
//
// Watches are made and dropped on one thread (the user-interface thread, or the bench's main
// thread); the handler may run on any.
#pragma once

#include <cstdint>
#include <memory>

namespace stop_signal {

constexpr int kHangUp = 1;
constexpr int kInterrupt = 2;
constexpr int kTerminate = 15;

struct Options {
    // SIGINT (Ctrl+C) too; otherwise only SIGTERM and SIGHUP (Ctrl+Break, the window closed).
    bool interrupt = true;
    // A signal that whoever started the program ignores stays ignored (POSIX).
    bool keepIgnored = false;
    // SIGINT is also sent to this process as SIGTERM, which a watch made later (a running
    // flasher's) takes and passes on, so that Ctrl+C reaches the flasher even when only this
    // process got it (POSIX; on Windows the flasher shares the console and gets Ctrl+C itself).
    bool interruptAlsoTerminates = false;
};

class Watch {
  public:
    explicit Watch(const Options& options);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // The first signal noted since the watch began or was last taken; 0 for none.
    int noted() const;
    // The same, and forgets it (it no longer cuts waits short); empties the wake handle.
    int take();
    // Puts the previous handling back and delivers `signal` (when not 0) to it, which normally
    // ends the program, or is noted by the watch around this one.
    void endAsAsked(int signal);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Windows: the environment variable by which a station hands each run the event that tells it to
// stop (the handle's value, inherited), heard as Ctrl+Break.
constexpr wchar_t kStationStopVariable[] = L"REFLASHER_STATION_STOP_EVENT";

// Ready (POSIX: a descriptor readable; Windows: a manual-reset event signalled) once a signal was
// noted by any watch; made once for the process and never closed. Taking the signal empties it.
std::intptr_t WakeHandle();
// Empties the wake handle. A waiter empties it before it looks at its own watch and waits again:
// a wake for a signal that another watch took is not its to wait on, and a signal noted after
// the look still wakes it.
void DrainWake();

}  // namespace stop_signal
