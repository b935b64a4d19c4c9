#include "tools/prog/BootClient.h"

#include <algorithm>
#include <chrono>
#include <vector>

std::optional<boot::Frame> BootClient::Transact(boot::Command command,
                                                std::span<const std::uint8_t> data, int timeoutMs,
                                                int tries) {
    const std::vector<std::uint8_t> frame = boot::EncodeFrame(command, data);
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (stopped_ || lineFailed_) return std::nullopt;
        reader_.Clear();
        line_.DiscardInput();  // a late reply to an earlier try must not answer this one
        if (!line_.Write(frame.data(), frame.size())) {
            lineFailed_ = true;
            return std::nullopt;
        }
        if (auto reply = AwaitReply(command, timeoutMs)) return reply;
    }
    return std::nullopt;
}

std::optional<boot::Frame> BootClient::AwaitReply(boot::Command command, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t buffer[512];
    for (;;) {
        if (interrupted_ && interrupted_()) {
            stopped_ = true;
            return std::nullopt;
        }
        while (auto frame = reader_.Next()) {
            if (frame->command == (command | boot::kReplyBit) && !frame->data.empty()) return frame;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        // Short slices, so that a key press is seen within 50 ms.
        const int n =
            line_.Read(buffer, sizeof buffer, static_cast<int>(std::min<long long>(left, 50)));
        if (n < 0) {
            lineFailed_ = true;
            return std::nullopt;
        }
        reader_.Feed(buffer, static_cast<std::size_t>(n));
    }
}
