#include "tools/prog/Console.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

volatile sig_atomic_t gStopRequests = 0;  // SIGINT and SIGQUIT: the operator's
volatile sig_atomic_t gTerminated = 0;    // SIGTERM and SIGHUP: stop at once

extern "C" void OnStopRequest(int) { gStopRequests = gStopRequests + 1; }
extern "C" void OnTerminate(int) { gTerminated = 1; }

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kCtrlC = 0x03;
constexpr const char* kQuestion = "Stop now? The receiver will have no firmware until it is restored. y/N ";

void Catch(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

}  // namespace

Keyboard::Keyboard() {
    Catch(SIGINT, OnStopRequest);
    Catch(SIGQUIT, OnStopRequest);
    Catch(SIGTERM, OnTerminate);
    Catch(SIGHUP, OnTerminate);
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0) {
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl+C raises SIGINT
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        terminal_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
}

Keyboard::~Keyboard() {
    if (terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void Keyboard::Ask() {
    if (!askFirst_ || !terminal_ || asking_) {
        interrupted_ = true;  // nobody to ask, nothing at stake, or asked twice
        return;
    }
    asking_ = true;
    std::fprintf(stdout, "\n%s", kQuestion);
    std::fflush(stdout);
}

void Keyboard::Answer(unsigned char key) {
    if (key == 'y' || key == 'Y') {
        std::fprintf(stdout, "y\n");
        interrupted_ = true;
    } else if (key == 'n' || key == 'N' || key == '\r' || key == '\n' || key == kEscape) {
        std::fprintf(stdout, "n\nGoing on.\n");
    } else {
        return;  // not an answer
    }
    std::fflush(stdout);
    asking_ = false;
}

bool Keyboard::Interrupted() {
    if (gTerminated != 0) interrupted_ = true;
    while (!interrupted_ && requestsSeen_ < gStopRequests) {
        ++requestsSeen_;
        Ask();
    }
    while (!interrupted_ && inputOpen_) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP)) == 0) break;
        unsigned char keys[64];
        const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
        if (n <= 0) {
            inputOpen_ = false;  // end of input: no more keys will come
            break;
        }
        for (ssize_t i = 0; i < n && !interrupted_; ++i) {
            if (asking_) {
                Answer(keys[i]);
            } else if (keys[i] == kEscape || keys[i] == kCtrlC) {
                Ask();
            }
        }
    }
    return interrupted_;
}

ProgressBar::ProgressBar(std::FILE* out, std::uint32_t total) : out_(out), total_(total) {}

void ProgressBar::Update(std::uint32_t done) {
    const Clock::time_point now = Clock::now();
    if (drawn_ && done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    drawn_ = true;
    lastDraw_ = now;
    constexpr int kWidth = 24;  // the whole line stays within 80 columns
    const int filled = total_ == 0 ? kWidth : static_cast<int>(static_cast<std::uint64_t>(done) * kWidth / total_);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0.05 ? done / seconds : 0.0;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    if (rate > 0) {
        const auto left = static_cast<unsigned>((total_ - done) / rate + 0.5);
        std::fprintf(out_, "\rWriting [%s] %6u/%u bytes %6.1f kB/s %u:%02u left ", bar.c_str(), done, total_,
                     rate / 1000.0, left / 60, left % 60);
    } else {
        std::fprintf(out_, "\rWriting [%s] %6u/%u bytes    -.- kB/s -:-- left ", bar.c_str(), done, total_);
    }
    std::fflush(out_);
}

void ProgressBar::Finish() {
    std::fputc('\n', out_);
    std::fflush(out_);
}
