// Threads on Windows: CreateThread, the reader at THREAD_PRIORITY_TIME_CRITICAL.
#include <windows.h>

#include "comm/platform/Sync.h"

namespace comm::platform {

namespace {

DWORD WINAPI Entry(LPVOID self) {
    static_cast<Thread*>(self)->Run();
    return 0;
}

}  // namespace

bool Thread::Start(Procedure procedure, void* argument, bool timeCritical) {
    started_ = false;
    procedure_ = procedure;
    argument_ = argument;
    // Created suspended so that a time-critical thread runs at its priority from its first
    // instruction; nobody joins it, so its handle is closed once it runs.
    HANDLE thread = CreateThread(nullptr, 0, &Entry, this, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) return false;
    if (timeCritical) SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
        // It never ran, so it touches nothing; it only has to go.
        TerminateThread(thread, 0);
        CloseHandle(thread);
        return false;
    }
    CloseHandle(thread);
    started_ = true;
    return true;
}

void SleepMs(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace comm::platform
