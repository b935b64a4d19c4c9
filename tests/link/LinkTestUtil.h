// Reply packets as the receiver sends them, for the link's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/Packet.h"

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes MakePacket(std::uint8_t command, const Bytes& data) {
    Bytes packet(data.size() + 6);
    std::uint8_t* area =
        BuildRequestHeader(packet.data(), command, static_cast<std::uint8_t>(data.size()));
    std::copy(data.begin(), data.end(), area);
    AppendChecksum(packet.data(), static_cast<std::uint8_t>(data.size()));
    return packet;
}

// Identity reply data: version in 14 bytes, 59 uninterpreted, value little-endian, prefix, NUL.
inline Bytes IdentityData(const std::string& version, std::uint32_t value,
                          const std::string& prefix) {
    Bytes data(14 + 59, 0);
    std::copy(version.begin(), version.end(), data.begin());
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    data.insert(data.end(), prefix.begin(), prefix.end());
    data.push_back(0);
    return data;
}

// Power status reply data: sub-code, three spare bytes, flags, battery level little-endian.
inline Bytes PowerData(std::uint8_t subCode, std::uint8_t flags, std::int32_t battery) {
    Bytes data = {subCode, 0, 0, 0, flags};
    const auto raw = static_cast<std::uint32_t>(battery);
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
    }
    return data;
}

}  // namespace linktest
