// POSIX stop signals: sigaction with a handler that only notes the signal in the innermost watch's
// slot and writes a byte to the wake pipe; everything else happens on the waiting thread.
#include "source/platform/StopSignal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>

namespace stop_signal {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct Slot {
    volatile sig_atomic_t noted = 0;
    bool interruptAlsoTerminates = false;
};

// For each signal, the slot of the innermost live watch that takes it (a watch of the flasher's
// takes SIGTERM and SIGHUP, and leaves SIGINT to the bench's watch around it); lock-free
// pointers, which the handler may read.
std::atomic<Slot*> gCurrent[std::size(kSignals)] = {};
static_assert(std::atomic<Slot*>::is_always_lock_free);
int gWake[2] = {-1, -1};  // made once, never closed

extern "C" void NoteSignal(int signal) {
    const int saved = errno;
    std::size_t i = 0;
    while (i < std::size(kSignals) && kSignals[i] != signal) ++i;
    if (Slot* slot = i < std::size(kSignals) ? gCurrent[i].load() : nullptr) {
        if (slot->noted == 0) slot->noted = signal;
        const char byte = 1;
        ssize_t ignored = write(gWake[1], &byte, 1);
        (void)ignored;
        if (signal == SIGINT && slot->interruptAlsoTerminates) kill(getpid(), SIGTERM);
    }
    errno = saved;
}

void MakeWakePipe() {
    if (gWake[0] < 0 && pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) gWake[0] = gWake[1] = -1;
}

}  // namespace

void DrainWake() {
    char drain[16];
    while (gWake[0] >= 0 && read(gWake[0], drain, sizeof drain) > 0) {
    }
}

struct Watch::State {
    Slot slot;
    Slot* outer[std::size(kSignals)] = {};
    struct sigaction previous[std::size(kSignals)]{};
    bool watched[std::size(kSignals)] = {};

    void restore() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            if (!watched[i]) continue;
            sigaction(kSignals[i], &previous[i], nullptr);
            gCurrent[i].store(outer[i]);
            watched[i] = false;
        }
    }
};

Watch::Watch(const Options& options) : state_(std::make_unique<State>()) {
    MakeWakePipe();
    state_->slot.interruptAlsoTerminates = options.interruptAlsoTerminates;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        if (kSignals[i] == SIGINT && !options.interrupt) continue;
        sigaction(kSignals[i], nullptr, &state_->previous[i]);
        if (options.keepIgnored && (gWake[1] < 0 || state_->previous[i].sa_handler == SIG_IGN))
            continue;
        state_->outer[i] = gCurrent[i].exchange(&state_->slot);
        struct sigaction action {};
        action.sa_handler = NoteSignal;
        sigemptyset(&action.sa_mask);
        sigaction(kSignals[i], &action, nullptr);
        state_->watched[i] = true;
    }
}

Watch::~Watch() {
    state_->restore();
}

int Watch::noted() const {
    return state_->slot.noted;
}

int Watch::take() {
    const int signal = state_->slot.noted;
    state_->slot.noted = 0;
    DrainWake();
    return signal;
}

void Watch::endAsAsked(int signal) {
    state_->restore();
    if (signal != 0) raise(signal);
}

std::intptr_t WakeHandle() {
    MakeWakePipe();
    return gWake[0];
}

}  // namespace stop_signal
