// The service bench's stop signals: while one of these lives, SIGINT, SIGTERM and SIGHUP go to
// `handler`, and SIGPIPE is ignored (whoever reads our output may go away, a station that was
// killed: writes then fail instead). The previous dispositions come back with its end.
#pragma once

#include <signal.h>

#include <cstddef>
#include <iterator>

class StopHandler {
public:
    explicit StopHandler(void (*handler)(int)) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous_[i]);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &previousPipe_);
    }
    ~StopHandler() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
        sigaction(SIGPIPE, &previousPipe_, nullptr);
    }
    StopHandler(const StopHandler&) = delete;
    StopHandler& operator=(const StopHandler&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[std::size(kSignals)] {};
    struct sigaction previousPipe_ {};
};
