// Events and locks on Windows: a manual-reset event object and a critical section, built in the
// storage that Sync.h sets aside. The engine's pool builds them once and never tears them down.
#include "comm/platform/Sync.h"

#include <windows.h>

#include <new>

namespace comm::platform {

// Unnamed, manual-reset, created lowered. A failed creation leaves a null handle: the event
// then never counts as raised, so whoever waits for it (CommOpen's start-up waits) gives up.
Event::Event() {
    new (native_) HANDLE(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

Event::~Event() {
    HANDLE event = In<HANDLE>(native_);
    if (event != nullptr) CloseHandle(event);
}

void Event::Set() {
    HANDLE event = In<HANDLE>(native_);
    if (event != nullptr) SetEvent(event);
}

void Event::Reset() {
    HANDLE event = In<HANDLE>(native_);
    if (event != nullptr) ResetEvent(event);
}

bool Event::Wait(std::uint32_t timeoutMs) {
    static_assert(kWaitForever == INFINITE);
    HANDLE event = In<HANDLE>(native_);
    return event != nullptr && WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

Lock::Lock() {
    InitializeCriticalSection(new (native_) CRITICAL_SECTION);
}

Lock::~Lock() {
    DeleteCriticalSection(&In<CRITICAL_SECTION>(native_));
}

void Lock::Enter() {
    EnterCriticalSection(&In<CRITICAL_SECTION>(native_));
}

void Lock::Leave() {
    LeaveCriticalSection(&In<CRITICAL_SECTION>(native_));
}

}  // namespace comm::platform
