// The check after a flash: once the flasher has reported success, the receiver is identified again
// before the completion page may say so. The receiver has the last word: another version or
// another receiver turns the flasher's success into the road's failure message; a receiver that
// stays silent (it may still be starting) contradicts nothing, and the flasher's word stands.
//
// Runs on the user-interface thread, with the calling page hidden; while it asks, a page built
// on the connecting page's template says so, stays painted and takes no input.
#pragma once

#include <cstdint>
#include <string>

#include "source/Reflasher.h"

struct FlashToCheck {
    std::int32_t port = 0;
    std::int32_t firstSpeed =
        19200;                  // the speed the receiver answered at before (19200 on restore)
    std::string firmwareFile;   // the file the flasher wrote
    std::string serialBefore;   // visible form; empty on the restore road
    std::string versionBefore;  // the shown (last three) characters; empty on the restore road
    int failureMessage =
        0;  // the road's failure message (res::ids::kUpdateFailed or kRestoreFailed)
};

// True when the completion page may follow. Otherwise the operator has been shown the failure
// message with a line on what the receiver reported.
bool ReceiverConfirmsFlash(const FlashToCheck& flash, const WizardSurroundings& surroundings);
