// Reply collection and decoding: the receiver conversation's state (port handle, identity, power
// status), owned by the connecting page and used on its thread only.
#pragma once

#include <cstdint>

#include "comm/Comm.h"

// Fixed-size texts, so that decoding never allocates.
struct ReceiverIdentity {
    char serialNumber[12] = {};     // at most 11 characters, NUL-terminated
    char firmwareVersion[15] = {};  // at most 14 characters, NUL-terminated
};

struct PowerStatus {
    std::int32_t externalPower = 0;  // 1 or 0
    std::int32_t batteryLevel = 0;   // raw value; 3600 and up is enough without external power
};

class ReceiverLink {
public:
    static constexpr std::uint32_t kCapacity = 1000;

    // Waits for replies on `port`, in the caller's buffer of at least kCapacity bytes.
    // True when at least one valid packet was dispatched.
    bool CollectReplies(std::uint8_t* buffer);
    // Routes one valid packet of `length` bytes to its decoder.
    void DispatchReply(const std::uint8_t* packet, std::uint32_t length);
    void ParseIdentityReply(const std::uint8_t* packet, std::uint32_t length);
    void ParsePowerReply(const std::uint8_t* packet, std::uint32_t length);

    PortHandle port = 0;
    ReceiverIdentity identity;
    PowerStatus power;
};
