#include "ui/terminal/Signals.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace ui::terminal {

namespace {

// Written by the user-interface thread while no such signal is expected, read by the handler.
constexpr std::size_t kRestoreMax = 512;
char gRestore[kRestoreMax];
volatile std::size_t gRestoreLength = 0;
termios gSavedModes{};
volatile sig_atomic_t gTerminalTaken = 0;
constexpr int kExitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};  // SIGINT first
struct sigaction gPreviousActions[std::size(kExitSignals)];
// A crash must not leave the terminal unusable either; whoever handled these before us (the
// sanitizers' reports, the default core dump) still gets them, on a normal screen.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction gPreviousFaultActions[std::size(kFaultSignals)];

void restoreTerminal() {
    if (!gTerminalTaken) return;
    ssize_t ignored = write(STDOUT_FILENO, gRestore, gRestoreLength);
    (void)ignored;
    tcsetattr(STDOUT_FILENO, TCSANOW, &gSavedModes);
    gTerminalTaken = 0;
}

extern "C" void restoreTerminalAndDie(int signalNumber) {
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // delivered when the handler returns: the parent sees how we ended
}

extern "C" void restoreTerminalAndPassOn(int signalNumber) {
    restoreTerminal();
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        if (kFaultSignals[i] == signalNumber)
            sigaction(signalNumber, &gPreviousFaultActions[i], nullptr);
    }
    // Delivered to the previous action when we return (as is a fault, when its instruction
    // repeats).
    raise(signalNumber);
}

void setSignalAction(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags =
        SA_ONSTACK;  // a stack overflow leaves only the alternate stack, if there is one
    sigemptyset(&action.sa_mask);
    for (int s : kExitSignals) sigaddset(&action.sa_mask, s);
    sigaction(signalNumber, &action, nullptr);
}

// A terminfo string capability, or "" when the terminal has none.

}  // namespace

void saveTerminalModes() {
    tcgetattr(STDOUT_FILENO, &gSavedModes);
}

void takeTerminal() {
    gTerminalTaken = 1;
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i) {
        sigaction(kExitSignals[i], nullptr, &gPreviousActions[i]);
        // Whoever started us with a signal ignored (nohup, a script's trap '') keeps it ignored.
        if (gPreviousActions[i].sa_handler == SIG_IGN) continue;
        setSignalAction(kExitSignals[i], restoreTerminalAndDie);
    }
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        sigaction(kFaultSignals[i], nullptr, &gPreviousFaultActions[i]);
        setSignalAction(kFaultSignals[i], restoreTerminalAndPassOn);
    }
}

void releaseTerminal() {
    gTerminalTaken = 0;
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i)
        sigaction(kExitSignals[i], &gPreviousActions[i], nullptr);
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        sigaction(kFaultSignals[i], &gPreviousFaultActions[i], nullptr);
    }
}

void setRestoreSequence(const std::string& sequence) {
    const sig_atomic_t taken = gTerminalTaken;
    gTerminalTaken = 0;  // the handler must not read a half-written sequence
    gRestoreLength = std::min(sequence.size(), kRestoreMax);
    std::memcpy(gRestore, sequence.data(), gRestoreLength);
    gTerminalTaken = taken;
}

void endForHangUp() {
    restoreTerminal();  // for a terminal only half gone
    gTerminalTaken = 0;
    signal(SIGHUP, SIG_DFL);
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &hangUp, nullptr);
    raise(SIGHUP);
    _exit(128 + SIGHUP);
}

void lendInterruptKeys() {
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
}

void reclaimInterruptKeys() {
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i) {
        const int exitSignal = kExitSignals[i];
        if ((exitSignal == SIGINT || exitSignal == SIGQUIT) &&
            gPreviousActions[i].sa_handler != SIG_IGN)
            setSignalAction(exitSignal, restoreTerminalAndDie);
    }
}

}  // namespace ui::terminal
