#include "link/Packet.h"

namespace {

constexpr std::uint8_t kStartByte = 0x01;
constexpr std::uint32_t kHeaderLength = 4;
constexpr std::uint32_t kFrameOverhead = 6;  // header plus the two checksum bytes

// 16-bit sum of `count` bytes, wrapping at 65536.
std::uint16_t Sum(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint16_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        sum = static_cast<std::uint16_t>(sum + bytes[i]);
    }
    return sum;
}

}  // namespace

std::uint8_t* BuildRequestHeader(std::uint8_t* buffer, std::uint8_t command,
                                 std::uint8_t dataLength) {
    for (std::uint32_t i = 0; i < dataLength; ++i) {
        buffer[kHeaderLength + i] = 0;
    }
    buffer[0] = kStartByte;
    buffer[1] = command;
    buffer[2] = static_cast<std::uint8_t>(0xFF - command);
    buffer[3] = dataLength;
    return buffer + kHeaderLength;
}

void PutHandshakeId(std::uint8_t* data) {
    static constexpr std::uint8_t kId[8] = {'R', 'U', 'V', 'U', '-', '0', '0', '0'};
    for (std::uint32_t i = 0; i < sizeof kId; ++i) {
        data[i] = kId[i];
    }
}

std::uint16_t AppendChecksum(std::uint8_t* buffer, std::uint8_t dataLength) {
    const std::uint32_t summed = kHeaderLength + dataLength;
    const std::uint16_t sum = Sum(buffer, summed);
    buffer[summed] = static_cast<std::uint8_t>(sum & 0xFF);
    buffer[summed + 1] = static_cast<std::uint8_t>(sum >> 8);
    return static_cast<std::uint16_t>(dataLength + kFrameOverhead);
}

int VerifyChecksum(const std::uint8_t* packet, std::uint32_t summedLength) {
    const std::uint16_t stored =
        static_cast<std::uint16_t>(packet[summedLength] | (packet[summedLength + 1] << 8));
    return Sum(packet, summedLength) == stored ? 0 : 1;
}

int FindPacket(const std::uint8_t* buffer, std::uint32_t& packetOffset, std::uint32_t& length) {
    int result = 3;
    packetOffset = 0;
    const std::uint32_t held = length;
    for (std::uint32_t i = 0; i < held; ++i) {
        const std::uint32_t remaining = held - i;
        if (buffer[i] != kStartByte) {
            continue;
        }
        if (remaining < kHeaderLength) {
            packetOffset = i;
            length = 0;
            return result;
        }
        if (buffer[i + 1] + buffer[i + 2] != 0xFF) {
            continue;
        }
        const std::uint32_t total = buffer[i + 3] + kFrameOverhead;
        if (remaining < total) {
            packetOffset = i;
            length = 0;
            return result;
        }
        result = VerifyChecksum(buffer + i, total - 2);
        if (result == 0) {
            packetOffset = i;
            length = total;
            return 0;
        }
    }
    return result;
}
