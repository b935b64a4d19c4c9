// prog.exe's console: the operator's keys (Escape or Ctrl+C stop a flash) and the progress bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Watches standard input for Escape and the console's requests that ask prog.exe to stop.
// Escape, Ctrl+C and Ctrl+\ (on Windows Ctrl+Break) are the operator's: once the receiver's
// firmware is at stake (AskBeforeStopping) and a person can answer on a terminal, they first ask
// "Stop now? ... y/N", and only y stops; a second Ctrl+C or Ctrl+\ while the question is open
// stops at once. SIGTERM and SIGHUP (on Windows the console closing, or the session ending) stop
// at once. On a terminal it turns off line buffering and echo and puts them back when it ends.
//
// The questions and answers are the same everywhere (Console.cpp); how the keys and requests
// arrive is each platform's (posix/Console.cpp, win32/Console.cpp).
class Keyboard {
  public:
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    // From now on a stop leaves the receiver without firmware: ask first.
    void AskBeforeStopping() { askFirst_ = true; }
    // True once prog.exe is to stop; stays true.
    bool Interrupted();
    // True while the question is open (the progress bar keeps still meanwhile).
    bool Asking() const { return asking_; }

  private:
    void Ask();
    void Answer(unsigned char key);

    // The platform's part, with the constructor (catches the stop requests; on a terminal, keys
    // without echo) and the destructor (puts the terminal back).
    struct Saved;              // the terminal's settings to put back
    int StopRequests() const;  // the operator's stop requests so far
    bool Terminated() const;   // asked to stop at once
    // Takes the keys waiting on standard input, without waiting: how many, 0 for none, -1 at the
    // end of the input (no more keys will come).
    int ReadKeys(unsigned char* keys, int capacity);

    std::unique_ptr<Saved> saved_;  // set while standard input is a terminal in key mode
    bool inputOpen_ = true;
    bool interrupted_ = false;
    bool askFirst_ = false;
    bool asking_ = false;
    int requestsSeen_ = 0;  // operator's stop requests handled so far
};

// The last words of a flasher that ends at once (its firmware file is missing), to standard error.
// A console window of the flasher's own closes as it ends, so nobody would read them there, and
// a new console can take longer to show its first line than the wizard's 500 ms for a quick end:
// on a console (Windows) they are left out; on a terminal, in a file or a pipe they are written.
void SayBeforeQuickEnd(const std::string& text);

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
