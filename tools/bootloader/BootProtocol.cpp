#include "tools/bootloader/BootProtocol.h"

#include "tools/bootloader/FirmwareImage.h"

namespace boot {

std::vector<std::uint8_t> EncodeFrame(std::uint8_t command, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame;
    frame.reserve(data.size() + kFrameOverhead);
    frame.push_back(kStart);
    frame.push_back(command);
    frame.push_back(static_cast<std::uint8_t>(data.size()));
    frame.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    frame.insert(frame.end(), data.begin(), data.end());
    const std::uint32_t crc = firmware::Crc32(frame.data() + 1, frame.size() - 1);
    std::uint8_t crcBytes[4];
    firmware::PutLe32(crcBytes, crc);
    frame.insert(frame.end(), crcBytes, crcBytes + 4);
    return frame;
}

void FrameReader::Feed(const std::uint8_t* bytes, std::size_t length) {
    pending_.insert(pending_.end(), bytes, bytes + length);
}

std::optional<Frame> FrameReader::Next() {
    // Every start byte begins a candidate. The first candidate that is complete and checks out
    // wins, even past one still incomplete: a stray start byte in noise can claim a length that
    // never arrives and must not hide the frames behind it.
    std::optional<std::size_t> firstIncomplete;
    for (std::size_t start = 0; start < pending_.size(); ++start) {
        if (pending_[start] != kStart) continue;
        const std::size_t held = pending_.size() - start;
        if (held < 4) {
            if (!firstIncomplete) firstIncomplete = start;
            continue;
        }
        const std::uint8_t command = static_cast<std::uint8_t>(pending_[start + 1] & ~kReplyBit);
        const std::size_t length =
            pending_[start + 2] | static_cast<std::size_t>(pending_[start + 3]) << 8;
        if (command < kSync || command > kRun || length > kMaxFrameData) continue;
        if (held < length + kFrameOverhead) {
            if (!firstIncomplete) firstIncomplete = start;
            continue;
        }
        const std::uint8_t* body = pending_.data() + start + 1;
        if (firmware::Crc32(body, length + 3) != firmware::GetLe32(body + length + 3)) continue;
        Frame frame{pending_[start + 1], std::vector<std::uint8_t>(body + 3, body + 3 + length)};
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(
                                                                start + length + kFrameOverhead));
        return frame;
    }
    // Keep from the first candidate that may still complete; nothing before it can.
    std::size_t keepFrom = firstIncomplete.value_or(pending_.size());
    if (pending_.size() - keepFrom > 2 * (kMaxFrameData + kFrameOverhead))
        keepFrom = pending_.size() - 2 * (kMaxFrameData + kFrameOverhead);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(keepFrom));
    return std::nullopt;
}

}  // namespace boot
