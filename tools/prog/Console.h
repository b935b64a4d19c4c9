// prog.exe's console: the operator's keys (Escape or Ctrl+C stop a flash) and the progress bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <termios.h>

// Watches standard input for Escape and Ctrl+C (as a key or as SIGINT). On a terminal it turns
// off line buffering and echo and puts them back when it ends.
class Keyboard {
public:
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // True once the operator has asked to stop; stays true.
    bool Interrupted();

private:
    bool terminal_ = false;
    bool inputOpen_ = true;
    bool interrupted_ = false;
    termios saved_{};
};

// "Writing [#####.....]  12288/32796 bytes  10.5 kB/s  0:02 left", redrawn in place.
class ProgressBar {
public:
    ProgressBar(std::FILE* out, std::uint32_t total);
    // Redraws at most every 100 ms, and always for the last byte.
    void Update(std::uint32_t done);
    void Finish();

private:
    using Clock = std::chrono::steady_clock;
    std::FILE* out_;
    std::uint32_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
    bool drawn_ = false;
};
