// Firmware image files: a 28-byte header and the payload that the receiver runs.
//
//   offset  size  field
//        0     4  magic "RXFW"
//        4    16  version text (e.g. "169-508231-005"), padded with NUL bytes
//       20     4  payload length, little-endian
//       24     4  CRC-32 (IEEE, as zlib's crc32) of bytes 0..23 and the payload, little-endian
//       28     n  payload
//
// The file holds exactly header and payload. mkfirmware writes them, prog.exe refuses a file that
// does not check out before it erases anything, and the receiver's bootloader checks the written
// image again before it starts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace firmware {

inline constexpr char kMagic[4] = {'R', 'X', 'F', 'W'};
inline constexpr std::size_t kVersionSize = 16;
inline constexpr std::size_t kHeaderSize = 28;
// The receiver's flash holds no more than this.
inline constexpr std::uint32_t kMaxPayload = 1u << 20;

// CRC-32 (reflected, polynomial 0xEDB88320), continued from `crc` (0 to start).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0);

// A deterministic payload of `size` bytes that stands for the receiver's program.
std::vector<std::uint8_t> MakePayload(std::string_view version, std::size_t size);

// Header and payload; `version` must fit (at most 16 characters).
std::vector<std::uint8_t> BuildImage(std::string_view version,
                                     std::span<const std::uint8_t> payload);

struct ImageCheck {
    bool ok = false;
    std::string version;  // when ok
    std::string reason;   // when not ok
};

// Checks magic, version text, length and CRC-32 of a whole image.
ImageCheck CheckImage(std::span<const std::uint8_t> image);

void PutLe32(std::uint8_t* at, std::uint32_t value);
std::uint32_t GetLe32(const std::uint8_t* at);

}  // namespace firmware
