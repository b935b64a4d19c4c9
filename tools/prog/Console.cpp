// The keyboard's questions and answers, the same on every platform.
#include "tools/prog/Console.h"

namespace {

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kCtrlC = 0x03;
constexpr const char* kQuestion =
    "Stop now? The receiver will have no firmware until it is restored. y/N ";

}  // namespace

void Keyboard::Ask() {
    if (!askFirst_ || !saved_ || asking_) {
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
    if (Terminated()) interrupted_ = true;
    for (const int requests = StopRequests(); !interrupted_ && requestsSeen_ < requests;) {
        ++requestsSeen_;
        Ask();
    }
    while (!interrupted_ && inputOpen_) {
        unsigned char keys[64];
        const int n = ReadKeys(keys, sizeof keys);
        if (n < 0) inputOpen_ = false;  // end of input: no more keys will come
        if (n <= 0) break;
        for (int i = 0; i < n && !interrupted_; ++i) {
            if (asking_) {
                Answer(keys[i]);
            } else if (keys[i] == kEscape || keys[i] == kCtrlC) {
                Ask();
            }
        }
    }
    return interrupted_;
}
