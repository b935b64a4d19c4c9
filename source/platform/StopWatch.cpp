// Holding off the ending signals while a flasher runs, on the stop signals every part shares
// (source/platform/StopSignal.h). SIGTERM and SIGHUP (Windows: the console's Ctrl+Break and its
// close) are noted; SIGINT is the terminal's, which the flasher in its own session shares on POSIX,
// and the bench's own Ctrl+C on Windows. Reflasher.exe has no console: nothing is noted there.
// The flasher waits, on the user-interface thread, do the rest.
#include "source/platform/FlasherProcess.h"
#include "source/platform/StopSignal.h"

namespace flasher_os {
namespace {

const stop_signal::Watch* gStopWatch = nullptr;  // the live one, user-interface thread only

class SignalStopWatch final : public StopWatch {
  public:
    SignalStopWatch() : watch_(Options()) { gStopWatch = &watch_; }
    ~SignalStopWatch() override {
        // A signal that came after the last wait is not lost.
        EndAsAsked(TakeStopRequest());
        gStopWatch = nullptr;
    }
    bool StopPending() const override { return watch_.noted() != 0; }
    int TakeStopRequest() override { return watch_.take(); }
    void EndAsAsked(int signal) override { watch_.endAsAsked(signal); }

  private:
    static stop_signal::Options Options() {
        stop_signal::Options options;
        options.interrupt = false;
        options.keepIgnored = true;  // POSIX; a Windows console has nothing like it
        return options;
    }

    stop_signal::Watch watch_;
};

}  // namespace

bool StopNoted() {
    return gStopWatch != nullptr && gStopWatch->noted() != 0;
}

std::unique_ptr<StopWatch> WatchForStop() {
    return std::make_unique<SignalStopWatch>();
}

}  // namespace flasher_os
