// The keyboard on POSIX: the stop signals, and standard input in non-canonical mode without echo.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/prog/Console.h"

namespace {

volatile sig_atomic_t gStopRequests = 0;  // SIGINT and SIGQUIT: the operator's
volatile sig_atomic_t gTerminated = 0;    // SIGTERM and SIGHUP: stop at once

extern "C" void OnStopRequest(int) {
    gStopRequests = gStopRequests + 1;
}
extern "C" void OnTerminate(int) {
    gTerminated = 1;
}

void Catch(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

struct Keyboard::Saved {
    termios settings;
};

Keyboard::Keyboard() {
    Catch(SIGINT, OnStopRequest);
    Catch(SIGQUIT, OnStopRequest);
    // Test hook: a flasher that will not be stopped (REFLASHER_PROG_IGNORE_TERM, see main.cpp).
    Catch(SIGTERM, std::getenv("REFLASHER_PROG_IGNORE_TERM") != nullptr ? SIG_IGN : OnTerminate);
    Catch(SIGHUP, OnTerminate);
    termios settings{};
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &settings) == 0) {
        termios raw = settings;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl+C raises SIGINT
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) saved_.reset(new Saved{settings});
    }
}

Keyboard::~Keyboard() {
    if (saved_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
}

int Keyboard::StopRequests() const {
    return gStopRequests;
}

bool Keyboard::Terminated() const {
    return gTerminated != 0;
}

int Keyboard::ReadKeys(unsigned char* keys, int capacity) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) return 0;
    const ssize_t n = read(STDIN_FILENO, keys, static_cast<std::size_t>(capacity));
    return n <= 0 ? -1 : static_cast<int>(n);
}

void SayBeforeQuickEnd(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}
