// Windows: one named mutex per COM port, "Global\Reflasher.COM<n>", for every session of the
// machine. Windows' own serial driver refuses a second open of a port, but a USB or virtual
// port's driver may not (nor does Wine), and between the wizard's close and the flasher's open
// the port is nobody's. The mutex is used by its existence alone: whoever holds a handle to it
// claims the port, and the system closes that handle when the process ends, however it ends.
#include "comm/platform/LineDevice.h"

#include <windows.h>

#include <cwchar>

namespace comm::platform {

namespace {

// This process's claims: every open port's, and at most one kept after its port was closed (the
// port opened last, for the flasher that comes next). Fixed storage: the engine never allocates.
struct Claim {
    std::int32_t port = 0;
    HANDLE mutex = nullptr;  // nullptr: a free entry
    bool open = false;       // a device of this process has the port open
};
constexpr int kClaims = 8;
Claim gClaims[kClaims];
SRWLOCK gClaimsLock = SRWLOCK_INIT;

class Hold {
  public:
    Hold() { AcquireSRWLockExclusive(&gClaimsLock); }
    ~Hold() { ReleaseSRWLockExclusive(&gClaimsLock); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

Claim* Find(std::int32_t port) {
    for (Claim& claim : gClaims) {
        if (claim.mutex != nullptr && claim.port == port) return &claim;
    }
    return nullptr;
}

void Drop(Claim& claim) {
    CloseHandle(claim.mutex);
    claim = {};
}

}  // namespace

bool ClaimPort(std::int32_t port, bool opening) {
    Hold hold;
    if (Claim* claim = Find(port)) {
        // A second open within this process is refused as another program's would be.
        if (opening && claim->open) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        claim->open = claim->open || opening;
        return true;
    }
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"Global\\Reflasher.COM%d",
                  static_cast<int>(port));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        SetLastError(ERROR_ACCESS_DENIED);  // LastOpenFailure: "in use by another program"
        return false;
    }
    // A claim kept for a closed port goes once another port is taken.
    Claim* free = nullptr;
    for (Claim& claim : gClaims) {
        if (claim.mutex != nullptr && !claim.open) Drop(claim);
        if (claim.mutex == nullptr && free == nullptr) free = &claim;
    }
    if (free == nullptr) {
        CloseHandle(mutex);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return false;
    }
    *free = {port, mutex, opening};
    return true;
}

void PortClosed(std::int32_t port) {
    Hold hold;
    if (Claim* claim = Find(port)) claim->open = false;
}

void LetGoOfPort(std::int32_t port) {
    Hold hold;
    if (Claim* claim = Find(port); claim != nullptr && !claim->open) Drop(*claim);
}

}  // namespace comm::platform
