#include "tools/bootloader/BootloaderSide.h"

#include <cstring>

#include "tools/bootloader/FirmwareImage.h"

namespace boot {

namespace {
std::vector<std::uint8_t> Le32(std::uint32_t value) {
    std::vector<std::uint8_t> bytes(4);
    firmware::PutLe32(bytes.data(), value);
    return bytes;
}
}  // namespace

BootloaderSide::BootloaderSide(Options options, Send send)
    : options_(std::move(options)),
      send_(std::move(send)),
      firmwareVersion_(options_.firmwareVersion) {}

bool BootloaderSide::ListensAt(std::uint32_t lineBaud) const {
    return !inSession_ || lineBaud == sessionBaud_;
}

void BootloaderSide::Receive(const std::uint8_t* bytes, std::size_t length, std::uint32_t lineBaud,
                             std::uint64_t nowMs) {
    Tick(nowMs);
    if (!ListensAt(lineBaud)) return;
    reader_.Feed(bytes, length);
    while (auto frame = reader_.Next()) {
        if (!ListensAt(lineBaud)) {  // a Speed request switched the line under the rest
            reader_.Clear();
            break;
        }
        Handle(*frame, lineBaud, nowMs);
    }
}

void BootloaderSide::Tick(std::uint64_t nowMs) {
    if (erasing_ && nowMs >= eraseDoneMs_) {
        erasing_ = false;
        lastRequestMs_ = nowMs;
        Reply(kErase, kOk);
    }
    if (inSession_ && !erasing_ && nowMs >= lastRequestMs_ + options_.sessionIdleMs) {
        inSession_ = false;
        reader_.Clear();
    }
}

void BootloaderSide::SetFirmware(const std::string& version) {
    firmwareValid_ = true;
    firmwareVersion_ = version;
    imageLength_ = 0;
    flash_.clear();
    verified_ = false;
}

void BootloaderSide::Brick() {
    firmwareValid_ = false;
    firmwareVersion_.clear();
    imageLength_ = 0;
    flash_.clear();
    verified_ = false;
}

void BootloaderSide::PowerCycle() {
    inSession_ = false;
    erasing_ = false;
    reader_.Clear();
}

void BootloaderSide::Reply(std::uint8_t command, Status status,
                           const std::vector<std::uint8_t>& extra) {
    std::vector<std::uint8_t> data{status};
    data.insert(data.end(), extra.begin(), extra.end());
    const std::vector<std::uint8_t> frame =
        EncodeFrame(static_cast<std::uint8_t>(command | kReplyBit), data);
    if (send_) send_(frame.data(), frame.size(), sessionBaud_);
}

void BootloaderSide::Handle(const Frame& frame, std::uint32_t lineBaud, std::uint64_t nowMs) {
    if (frame.command == kSync) {
        inSession_ = true;
        sessionBaud_ = lineBaud;
        lastRequestMs_ = nowMs;
        std::vector<std::uint8_t> extra{static_cast<std::uint8_t>(kMaxBlock & 0xFF),
                                        static_cast<std::uint8_t>(kMaxBlock >> 8),
                                        static_cast<std::uint8_t>(firmwareValid_ ? 1 : 0)};
        extra.insert(extra.end(), firmwareVersion_.begin(), firmwareVersion_.end());
        Reply(kSync, kOk, extra);
        return;
    }
    if (!inSession_ || (frame.command & kReplyBit) != 0)
        return;  // requests count only in a session
    lastRequestMs_ = nowMs;
    if (erasing_) {
        Reply(frame.command, kBusy);
        return;
    }
    const std::vector<std::uint8_t>& d = frame.data;
    switch (frame.command) {
        case kSpeed: {
            if (d.size() != 4 || firmware::GetLe32(d.data()) == 0) {
                Reply(kSpeed, kBadRequest);
                return;
            }
            Reply(kSpeed, kOk);  // still at the old speed
            sessionBaud_ = firmware::GetLe32(d.data());
            return;
        }
        case kErase: {
            if (d.size() != 4) {
                Reply(kErase, kBadRequest);
                return;
            }
            const std::uint32_t length = firmware::GetLe32(d.data());
            if (length < firmware::kHeaderSize || length > options_.capacity) {
                Reply(kErase, kTooLarge);
                return;
            }
            // From here on the old firmware is gone, whatever happens next.
            firmwareValid_ = false;
            firmwareVersion_.clear();
            verified_ = false;
            flash_.clear();
            imageLength_ = length;
            erasing_ = true;
            eraseDoneMs_ = nowMs + options_.eraseMs;
            if (options_.eraseMs == 0) Tick(nowMs);
            return;
        }
        case kWrite: {
            if (imageLength_ == 0) {
                Reply(kWrite, kNotErased, Le32(0));
                return;
            }
            if (d.size() < 5 || d.size() - 4 > kMaxBlock) {
                Reply(kWrite, kBadRequest, Le32(static_cast<std::uint32_t>(flash_.size())));
                return;
            }
            const std::uint32_t offset = firmware::GetLe32(d.data());
            const std::size_t count = d.size() - 4;
            if (offset > flash_.size() ||
                static_cast<std::uint64_t>(offset) + count > imageLength_) {
                Reply(kWrite, offset > flash_.size() ? kOutOfOrder : kTooLarge,
                      Le32(static_cast<std::uint32_t>(flash_.size())));
                return;
            }
            // A block sent again (its reply was lost) overwrites what it wrote before.
            if (offset + count > flash_.size()) flash_.resize(offset + count);
            std::memcpy(flash_.data() + offset, d.data() + 4, count);
            if (flashWorn_) flash_[offset] = static_cast<std::uint8_t>(~flash_[offset]);
            verified_ = false;
            Reply(kWrite, kOk, Le32(static_cast<std::uint32_t>(flash_.size())));
            return;
        }
        case kVerify: {
            const std::uint32_t crc = firmware::Crc32(flash_.data(), flash_.size());
            verified_ = imageLength_ != 0 && flash_.size() == imageLength_ &&
                        firmware::CheckImage(flash_).ok;
            Reply(kVerify, verified_ ? kOk : kImageInvalid, Le32(crc));
            return;
        }
        case kRun: {
            if (!verified_) {
                Reply(kRun, kImageInvalid);
                return;
            }
            Reply(kRun, kOk);
            firmwareValid_ = true;
            firmwareVersion_ = firmware::CheckImage(flash_).version;
            inSession_ = false;
            reader_.Clear();
            return;
        }
        default:
            Reply(frame.command, kBadRequest);
            return;
    }
}

}  // namespace boot
