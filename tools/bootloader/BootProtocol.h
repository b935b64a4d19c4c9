// The receiver's bootloader protocol, spoken by prog.exe (the host) and the receiver.
//
// Frame: 0x02, command, data length (16-bit little-endian, at most kMaxFrameData), data,
// CRC-32 of command, length and data (little-endian). Its start byte differs from the wizard's
// link frames (0x01), so a receiver can tell the two protocols apart.
// Replies carry the request's command | 0x80 and start their data with a status byte.
//
//   request               data                      reply data after the status
//   Sync      0x10        -                         max block (16-bit), firmware valid (1 byte),
//                                                   version text of the running firmware
//   Speed     0x11        baud (32-bit)             -      (both sides switch after this reply)
//   Erase     0x12        image length (32-bit)     -      (sent when the erase has finished)
//   Write     0x13        offset (32-bit), bytes    next offset expected (32-bit)
//   Verify    0x14        -                         CRC-32 of the written image (32-bit)
//   Start     0x15        -                         -      (then the new firmware runs)
//
// A session begins with Sync at any speed and ends with Start, or after kSessionIdleMs without
// a request; Erase invalidates the firmware until a verified image is started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace boot {

inline constexpr std::uint8_t kStart = 0x02;
inline constexpr std::size_t kMaxFrameData = 1024;
inline constexpr std::size_t kFrameOverhead = 8;  // start, command, 2 length, 4 CRC
inline constexpr std::uint8_t kReplyBit = 0x80;
inline constexpr std::uint32_t kSessionIdleMs = 2000;
inline constexpr std::uint16_t kMaxBlock = 512;

enum Command : std::uint8_t {
    kSync = 0x10,
    kSpeed = 0x11,
    kErase = 0x12,
    kWrite = 0x13,
    kVerify = 0x14,
    kRun = 0x15,
};

enum Status : std::uint8_t {
    kOk = 0,
    kBadRequest = 1,
    kOutOfOrder = 2,
    kTooLarge = 3,
    kNotErased = 4,
    kImageInvalid = 5,
    kBusy = 6,
};

struct Frame {
    std::uint8_t command = 0;
    std::vector<std::uint8_t> data;
};

std::vector<std::uint8_t> EncodeFrame(std::uint8_t command, std::span<const std::uint8_t> data);

// Collects frames from a byte stream: skips bytes until a start byte, drops a candidate whose
// length or CRC is wrong and looks again one byte after its start.
class FrameReader {
  public:
    void Feed(const std::uint8_t* bytes, std::size_t length);
    // The next complete, checked frame, if one has arrived.
    std::optional<Frame> Next();
    void Clear() { pending_.clear(); }

  private:
    std::vector<std::uint8_t> pending_;
};

}  // namespace boot
