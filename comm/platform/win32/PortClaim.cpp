// Windows: one named mutex per COM port, "Global\Reflasher.COM<n>", for every session of the
// machine. Windows' own serial driver refuses a second open of a port, but a USB or virtual
// port's driver may not (nor does Wine), and between the wizard's close and the flasher's open
// the port is nobody's. The mutex is used by its existence alone: whoever holds a handle to it
// claims the port, and the system closes that handle when the process ends, however it ends.
#include "comm/platform/LineDevice.h"  // before <windows.h>, which makes some of its names macros

#include <windows.h>

#include <cwchar>

namespace comm::platform {

namespace {

// The one claim this process keeps: the port opened last, open or not. UI thread only.
std::int32_t gClaimedPort = 0;
HANDLE gClaim = nullptr;

void SayInUse() {
    // LastOpenFailure's words for a port another program holds (NoteOpenFailure in LineDevice.cpp).
    SetLastError(ERROR_ACCESS_DENIED);
}

}  // namespace

bool ClaimPort(std::int32_t port) {
    if (gClaim != nullptr && gClaimedPort == port) return true;
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"Global\\Reflasher.COM%d", static_cast<int>(port));
    HANDLE claim = CreateMutexW(nullptr, FALSE, name);
    if (claim == nullptr) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SayInUse();
        return false;
    }
    LetGoOfPort(gClaimedPort);
    gClaim = claim;
    gClaimedPort = port;
    return true;
}

void LetGoOfPort(std::int32_t port) {
    if (gClaim == nullptr || gClaimedPort != port) return;
    CloseHandle(gClaim);
    gClaim = nullptr;
    gClaimedPort = 0;
}

}  // namespace comm::platform
