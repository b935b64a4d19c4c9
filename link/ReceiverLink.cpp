// The collection's cycles, scanning and decoding of received packets. The engine-bound entry
// point is in CollectReplies.cpp, so that these parts link without the serial engine.
#include "link/ReceiverLink.h"

#include <cstring>

#include "link/Packet.h"

namespace {

constexpr std::uint8_t kIdentityCommand = 0x2D;  // '-'
constexpr std::uint8_t kPowerCommand = 0x46;     // 'F'
constexpr std::uint8_t kPowerSubCode = 3;

constexpr std::uint32_t kVersionOffset = 4;
constexpr std::uint32_t kVersionSize = 14;
constexpr std::uint32_t kSerialValueOffset = 77;
constexpr std::uint32_t kSerialPrefixOffset = 81;
constexpr std::uint32_t kSubCodeOffset = 4;
constexpr std::uint32_t kPowerFlagsOffset = 8;
constexpr std::uint32_t kBatteryOffset = 9;
constexpr std::uint32_t kPowerEnd = 13;  // one past the battery level

// End of a packet's data: everything but the two checksum bytes.
std::uint32_t DataEnd(std::uint32_t length) {
    return length >= 2 ? length - 2 : 0;
}

std::uint32_t LittleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

bool ReceiverLink::CollectFrom(ReplySource& source, std::uint8_t* buffer) {
    bool found = false;
    std::uint32_t held = 0;
    stats = CollectionStats{};

    for (;;) {
        source.Pause();
        ++stats.cycles;
        bool arrived = false;

        // Read everything waiting, cut to the free space. A negative answer is an engine error
        // and counts as nothing; only the bytes really copied are held.
        while (held < kCapacity) {
            const int available = source.BytesAvailable();
            if (available <= 0) {
                break;
            }
            std::uint32_t wanted = static_cast<std::uint32_t>(available);
            if (wanted > kCapacity - held) {
                wanted = kCapacity - held;
            }
            const int got = source.Read(buffer + held, static_cast<std::int32_t>(wanted));
            if (got <= 0) {
                break;
            }
            held +=
                static_cast<std::uint32_t>(got) < wanted ? static_cast<std::uint32_t>(got) : wanted;
            arrived = true;
        }

        if (arrived) ++stats.busyCycles;
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
        if (stats.busyCycles >= kMaxBusyCycles || stats.cycles >= kMaxCycles) {
            stats.hitCycleLimit = true;
            return found;
        }
    }
}

ScanStep ReceiverLink::ScanHeld(std::uint8_t* buffer, std::uint32_t& held) {
    ScanStep step;
    std::uint32_t packetOffset = 0;
    std::uint32_t scanLength = held;
    if (FindPacket(buffer, packetOffset, scanLength) == 0) {
        DispatchReply(buffer + packetOffset, scanLength);
        step.dispatched = true;
    }
    std::uint32_t used = packetOffset + scanLength;
    if (used > held) {
        used = held;
    }
    if (used > 0) {
        std::memmove(buffer, buffer + used, held - used);
        held -= used;
    }
    step.removed = used;
    return step;
}

void ReceiverLink::DispatchReply(const std::uint8_t* packet, std::uint32_t length) {
    if (length < 6) {
        return;  // not a packet; FindPacket never reports one this short
    }
    if (packet[1] == kIdentityCommand) {
        ParseIdentityReply(packet, length);
    } else if (packet[1] == kPowerCommand && DataEnd(length) > kSubCodeOffset &&
               packet[kSubCodeOffset] == kPowerSubCode) {
        ParsePowerReply(packet, length);
    }
}

void ReceiverLink::ParseIdentityReply(const std::uint8_t* packet, std::uint32_t length) {
    const std::uint32_t dataEnd = DataEnd(length);
    ReceiverIdentity decoded;

    for (std::uint32_t i = 0; i < kVersionSize; ++i) {
        const std::uint32_t at = kVersionOffset + i;
        if (at >= dataEnd || packet[at] == 0) {
            break;
        }
        decoded.firmwareVersion[i] = static_cast<char>(packet[at]);
    }

    // "%s%08X" of prefix and value, cut to 11 characters; a reply too short to hold the value
    // leaves the serial number empty, and a prefix without its NUL ends with the data.
    if (dataEnd >= kSerialPrefixOffset) {
        constexpr std::uint32_t kMax = sizeof decoded.serialNumber - 1;
        std::uint32_t out = 0;
        for (std::uint32_t at = kSerialPrefixOffset; at < dataEnd && packet[at] != 0 && out < kMax;
             ++at) {
            decoded.serialNumber[out++] = static_cast<char>(packet[at]);
        }
        const std::uint32_t value = LittleEndian32(packet + kSerialValueOffset);
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (int shift = 28; shift >= 0 && out < kMax; shift -= 4) {
            decoded.serialNumber[out++] = kHex[(value >> shift) & 0xF];
        }
    }
    identity = decoded;
}

void ReceiverLink::ParsePowerReply(const std::uint8_t* packet, std::uint32_t length) {
    PowerStatus decoded;  // a reply too short for both fields reads as no power and empty battery
    if (DataEnd(length) >= kPowerEnd) {
        decoded.externalPower = (packet[kPowerFlagsOffset] & 0x80) != 0 ? 1 : 0;
        decoded.batteryLevel = static_cast<std::int32_t>(LittleEndian32(packet + kBatteryOffset));
        ++powerReplies;
    }
    power = decoded;
}
