// Windows stop signals: the console's control events through SetConsoleCtrlHandler. The handler
// runs on a thread the system starts for it; it notes the event in the innermost watch's slot, as
// the POSIX signal it stands for (Ctrl+C as 2, SIGINT; Ctrl+Break and the console window closed
// as 15, SIGTERM: the numbers the run report makes its exit codes of), and signals the wake event.
// A program without a console (Reflasher.exe) never gets one: its watches note nothing.
#include "source/platform/StopSignal.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwchar>

namespace stop_signal {
namespace {

struct Slot {
    std::atomic<int> noted{0};
};

// The innermost live watch taking Ctrl+C, and the one taking Ctrl+Break and the window's close.
std::atomic<Slot*> gInterrupt{nullptr};
std::atomic<Slot*> gTerminate{nullptr};
HANDLE gWake = nullptr;  // manual reset; made once, never closed

BOOL WINAPI NoteControl(DWORD event);

// A station's run is told to stop through an event the station made and handed down (named by
// kStationStopVariable), as well as by Ctrl+Break to its process group: Wine refuses control
// events sent to one group, and a run whose console is gone still hears the event. It counts as
// Ctrl+Break. A thread of its own waits for it, once.
void WatchStationStop() {
    wchar_t value[32];
    const DWORD length = GetEnvironmentVariableW(kStationStopVariable, value, 32);
    SetEnvironmentVariableW(kStationStopVariable, nullptr);  // not the flasher's to see
    if (length == 0 || length >= 32) return;
    const auto handle =
        reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(value, nullptr, 10)));
    CreateThread(
        nullptr, 0,
        [](LPVOID event) -> DWORD {
            if (WaitForSingleObject(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0) {
                NoteControl(CTRL_BREAK_EVENT);
            }
            return 0;
        },
        handle, 0, nullptr);
}

void MakeWake() {
    if (gWake != nullptr) return;
    gWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WatchStationStop();
}

void Note(Slot* slot, int signal) {
    int none = 0;
    slot->noted.compare_exchange_strong(none, signal);
    if (gWake != nullptr) SetEvent(gWake);
}

BOOL WINAPI NoteControl(DWORD event) {
    const bool interrupt = event == CTRL_C_EVENT;
    if (!interrupt && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    Slot* slot = (interrupt ? gInterrupt : gTerminate).load();
    if (slot == nullptr) return FALSE;  // nobody watches it: the next handler (the default ends us)
    Note(slot, interrupt ? kInterrupt : kTerminate);
    // The console window is closing: the system ends the process once this handler returns (or
    // after its own few seconds). It waits here, so that the run ends as asked and is recorded.
    if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

struct Watch::State {
    Slot slot;
    Slot* outerInterrupt = nullptr;
    Slot* outerTerminate = nullptr;
    bool interrupt = false;
    bool active = true;

    void restore() {
        if (!active) return;
        active = false;
        if (interrupt) gInterrupt.store(outerInterrupt);
        gTerminate.store(outerTerminate);
        SetConsoleCtrlHandler(NoteControl, FALSE);
    }
};

Watch::Watch(const Options& options) : state_(std::make_unique<State>()) {
    MakeWake();
    // Ctrl+C also reaches a flasher on this console by itself: nothing to pass on here
    // (interruptAlsoTerminates is a POSIX need). keepIgnored: a console program started with
    // Ctrl+C ignored does not get it at all.
    state_->interrupt = options.interrupt;
    if (options.interrupt) state_->outerInterrupt = gInterrupt.exchange(&state_->slot);
    state_->outerTerminate = gTerminate.exchange(&state_->slot);
    // Once for each watch; the system calls the last one added first, all are the same handler.
    SetConsoleCtrlHandler(NoteControl, TRUE);
}

Watch::~Watch() {
    state_->restore();
}

int Watch::noted() const {
    return state_->slot.noted.load();
}

int Watch::take() {
    const int signal = state_->slot.noted.exchange(0);
    DrainWake();
    return signal;
}

void Watch::endAsAsked(int signal) {
    const bool interrupt = state_->interrupt;
    Slot* outer =
        signal == kInterrupt && interrupt ? state_->outerInterrupt : state_->outerTerminate;
    state_->restore();
    if (signal == 0) return;
    // The previous handling: the watch around this one notes it; without one, the default
    // handling of a console control event, which ends the process.
    if (outer != nullptr) {
        Note(outer, signal);
    } else {
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    }
}

std::intptr_t WakeHandle() {
    MakeWake();
    return reinterpret_cast<std::intptr_t>(gWake);
}

void DrainWake() {
    if (gWake != nullptr) ResetEvent(gWake);
}

}  // namespace stop_signal
