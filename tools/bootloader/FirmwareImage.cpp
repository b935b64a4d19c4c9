#include "tools/bootloader/FirmwareImage.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace firmware {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kLengthOffset = 20;
constexpr std::size_t kCrcOffset = 24;

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

void PutLe32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::vector<std::uint8_t> MakePayload(std::string_view version, std::size_t size) {
    // xorshift32 seeded from the version, so each version has its own recognisable bytes.
    std::uint32_t state =
        Crc32(reinterpret_cast<const std::uint8_t*>(version.data()), version.size()) | 1u;
    std::vector<std::uint8_t> payload(size);
    for (std::uint8_t& byte : payload) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state);
    }
    return payload;
}

std::vector<std::uint8_t> BuildImage(std::string_view version,
                                     std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> image(kHeaderSize + payload.size(), 0);
    std::memcpy(image.data(), kMagic, sizeof kMagic);
    std::memcpy(image.data() + kVersionOffset, version.data(),
                std::min(version.size(), kVersionSize));
    PutLe32(image.data() + kLengthOffset, static_cast<std::uint32_t>(payload.size()));
    if (!payload.empty()) std::memcpy(image.data() + kHeaderSize, payload.data(), payload.size());
    std::uint32_t crc = Crc32(image.data(), kCrcOffset);
    crc = Crc32(image.data() + kHeaderSize, payload.size(), crc);
    PutLe32(image.data() + kCrcOffset, crc);
    return image;
}

ImageCheck CheckImage(std::span<const std::uint8_t> image) {
    ImageCheck check;
    if (image.size() < kHeaderSize) {
        check.reason = "the file is shorter than an image header";
        return check;
    }
    if (std::memcmp(image.data(), kMagic, sizeof kMagic) != 0) {
        check.reason = "the file is not a firmware image (bad magic)";
        return check;
    }
    const auto* versionBytes = reinterpret_cast<const char*>(image.data() + kVersionOffset);
    std::size_t versionLength = 0;
    while (versionLength < kVersionSize && versionBytes[versionLength] != '\0') ++versionLength;
    for (std::size_t i = 0; i < kVersionSize; ++i) {
        const char c = versionBytes[i];
        const bool printable = c >= 0x20 && c < 0x7F;
        if ((i < versionLength && !printable) || (i >= versionLength && c != '\0') ||
            versionLength == 0) {
            check.reason = "the image's version text is damaged";
            return check;
        }
    }
    const std::uint32_t length = GetLe32(image.data() + kLengthOffset);
    if (length > kMaxPayload || image.size() - kHeaderSize != length) {
        check.reason = "the image's length does not match the file";
        return check;
    }
    std::uint32_t crc = Crc32(image.data(), kCrcOffset);
    crc = Crc32(image.data() + kHeaderSize, length, crc);
    if (crc != GetLe32(image.data() + kCrcOffset)) {
        check.reason = "the image's CRC-32 does not match its contents";
        return check;
    }
    check.ok = true;
    check.version.assign(versionBytes, versionLength);
    return check;
}

}  // namespace firmware
