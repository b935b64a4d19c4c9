#include <chrono>
#include <thread>

#include "link/ReceiverLink.h"

bool ReceiverLink::CollectReplies(std::uint8_t* buffer) {
    bool found = false;
    std::uint32_t held = 0;
    stats = CollectionStats{};

    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kCyclePauseMs));
        ++stats.cycles;
        bool arrived = false;

        // Read everything waiting, cut to the free space. A negative answer is an engine error
        // and counts as nothing; only the bytes CommRead really copied are held.
        while (held < kCapacity) {
            const int available = CommBytesAvailable(port);
            if (available <= 0) {
                break;
            }
            std::uint32_t wanted = static_cast<std::uint32_t>(available);
            if (wanted > kCapacity - held) {
                wanted = kCapacity - held;
            }
            const int got = CommRead(port, buffer + held, static_cast<std::int32_t>(wanted));
            if (got <= 0) {
                break;
            }
            held += static_cast<std::uint32_t>(got);
            arrived = true;
        }

        bool progressed = arrived;
        if (held >= kMinScanLength) {
            const ScanStep step = ScanHeld(buffer, held);
            if (step.dispatched) {
                found = true;
                ++stats.packets;
                stats.lastPacketCycle = stats.cycles;
            }
            progressed = progressed || step.removed > 0;
        }
        stats.held = held;
        if (cycleHook != nullptr) {
            cycleHook(cycleHookContext, stats);
        }

        if (!progressed) {
            // Nothing arrived and nothing moved: either the line is quiet, or an incomplete
            // candidate sits at the front and would be rescanned unchanged for ever.
            stats.stalled = held >= kMinScanLength;
            return found;
        }
        if (stats.cycles >= kMaxCycles) {
            stats.hitCycleLimit = true;
            return found;
        }
    }
}
