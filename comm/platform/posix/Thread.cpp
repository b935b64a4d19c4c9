#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "comm/platform/Sync.h"

namespace comm::platform {

namespace {

void* Entry(void* self) {
    static_cast<Thread*>(self)->Run();
    return nullptr;
}

}  // namespace

bool Thread::Start(Procedure procedure, void* argument, bool timeCritical) {
    started_ = false;
    procedure_ = procedure;
    argument_ = argument;
    // A detached thread may be gone by the time pthread_create returns, so its scheduling is
    // chosen up front through the attributes, never changed afterwards.
    for (int attempt = timeCritical ? 0 : 1; attempt < 2; ++attempt) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (attempt == 0) {
            sched_param parameters{};
            int low = sched_get_priority_min(SCHED_FIFO);
            int high = sched_get_priority_max(SCHED_FIFO);
            parameters.sched_priority = low + (high - low) / 2;
            pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
            pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
            pthread_attr_setschedparam(&attributes, &parameters);
        }
        pthread_t thread;
        int rc = pthread_create(&thread, &attributes, &Entry, this);
        pthread_attr_destroy(&attributes);
        if (rc == 0) {
            started_ = true;
            return true;
        }
        // Real-time scheduling needs a privilege that tests and most desktops lack; without it
        // the thread runs at normal priority.
        if (attempt == 0 && rc != EPERM && rc != EINVAL && rc != ENOTSUP) return false;
    }
    return false;
}

void SleepMs(std::uint32_t milliseconds) {
    timespec rest{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

}  // namespace comm::platform
