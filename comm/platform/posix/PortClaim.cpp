// POSIX: the port's flock is the claim; it goes with the descriptor, and the flasher takes its
// own. Nothing to hold besides.
#include "comm/platform/LineDevice.h"

namespace comm::platform {

bool ClaimPort(std::int32_t, bool) {
    return true;
}

void PortClosed(std::int32_t) {}

void LetGoOfPort(std::int32_t) {}

}  // namespace comm::platform
