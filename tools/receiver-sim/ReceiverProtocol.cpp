#include "tools/receiver-sim/ReceiverProtocol.h"

#include <algorithm>

#include "link/Packet.h"

namespace sim {

namespace {

constexpr std::uint8_t kHandshake = '?';
constexpr std::uint8_t kIdentity = '-';
constexpr std::uint8_t kPower = 'F';
constexpr std::size_t kMaxPending = 1024;

}  // namespace

Bytes Frame(std::uint8_t command, const Bytes& data) {
    const auto length = static_cast<std::uint8_t>(std::min<std::size_t>(data.size(), 255));
    Bytes packet(length + 6u);
    std::uint8_t* area = BuildRequestHeader(packet.data(), command, length);
    std::copy(data.begin(), data.begin() + length, area);
    AppendChecksum(packet.data(), length);
    return packet;
}

Bytes IdentityReplyData(const DeviceState& device) {
    Bytes data(14 + 59, 0);  // version field, then bytes the wizard does not look at
    std::copy_n(device.firmwareVersion.begin(),
                std::min<std::size_t>(device.firmwareVersion.size(), 14), data.begin());
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(device.serialValue >> (8 * i)));
    }
    data.insert(data.end(), device.serialPrefix.begin(), device.serialPrefix.end());
    data.push_back(0);
    return data;
}

Bytes PowerReplyData(const DeviceState& device, std::uint8_t subCode) {
    // Sub-code, three status bytes, flags (bit 7: external power, low bits: charger state),
    // battery level, and two bytes the wizard does not look at.
    Bytes data = {subCode, 0x00, 0x00, 0x00,
                  static_cast<std::uint8_t>(device.externalPower ? 0x83 : 0x03)};
    const auto level = static_cast<std::uint32_t>(device.batteryLevel);
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<std::uint8_t>(level >> (8 * i)));
    }
    data.push_back(0x00);
    data.push_back(0x00);
    return data;
}

void ReceiverProtocol::OnSpeedChange(unsigned, DeviceState&, SimOutput&) {
    pending_.clear();  // half a request at the old speed is garbage at the new one
}

void ReceiverProtocol::OnIdle(DeviceState&, SimOutput& out) {
    if (flooding_) {
        out.Send(Noise(64, noiseSeed_));
    }
}

void ReceiverProtocol::OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud,
                               DeviceState& device, SimOutput& out) {
    if (device.fault == Fault::NoiseFlood) {
        flooding_ = true;
        return;
    }
    if (device.bricked) {
        return;  // the application is gone
    }
    if (baud != device.ownBaud) {
        // At another speed the UART sees framing garbage, and the firmware may babble back.
        pending_.clear();
        if (device.noiseAtWrongSpeed) {
            out.Send(Noise(std::min<std::size_t>(count, 16), noiseSeed_));
        }
        return;
    }
    pending_.insert(pending_.end(), bytes, bytes + count);
    for (;;) {
        auto held = static_cast<std::uint32_t>(pending_.size());
        if (held < 4) {
            break;
        }
        std::uint32_t offset = 0;
        std::uint32_t length = held;
        const int result = FindPacket(pending_.data(), offset, length);
        if (result == 0) {
            Answer(pending_.data() + offset, length, device, out);
        }
        const std::uint32_t used = std::min(offset + length, held);
        pending_.erase(pending_.begin(), pending_.begin() + used);
        if (result != 0) {
            break;  // an incomplete request waits for more bytes
        }
    }
    if (pending_.size() > kMaxPending) {
        pending_.clear();
    }
}

void ReceiverProtocol::Answer(const std::uint8_t* request, std::uint32_t length,
                              DeviceState& device, SimOutput& out) {
    const std::uint8_t command = request[1];
    const Fault fault = device.fault;
    if (fault == Fault::Silent) {
        return;
    }
    if (command == kHandshake) {
        Reply(Frame(kHandshake, {'R', 'U', 'V', 'U', '-', '0', '0', '0'}), device, out);
        return;
    }
    if (fault == Fault::HandshakeOnly) {
        return;
    }
    if (command == kIdentity) {
        Bytes data = IdentityReplyData(device);
        if (fault == Fault::Truncated) {
            data.resize(14 + 59 + 2);  // ends inside the serial number value
        } else if (fault == Fault::NoSerial) {
            data.resize(14 + 59);  // ends before the serial number
        }
        Bytes packet = Frame(kIdentity, data);
        if (fault == Fault::Unplug) {
            out.Send(Bytes(packet.begin(),
                           packet.begin() + static_cast<std::ptrdiff_t>(packet.size() / 2)));
            out.UnplugAfterQueued();
            return;
        }
        Reply(packet, device, out);
        return;
    }
    if (command == kPower && length >= 7 && request[4] == 3) {
        if (fault == Fault::NoPower) {
            return;
        }
        Bytes data = PowerReplyData(device, fault == Fault::OtherSubCode ? 4 : 3);
        if (fault == Fault::Truncated) {
            data.resize(5);  // ends after the flags, before the battery level
        }
        Reply(Frame(kPower, data), device, out);
    }
}

void ReceiverProtocol::Reply(Bytes packet, const DeviceState& device, SimOutput& out) {
    switch (device.fault) {
        case Fault::Split: {
            const auto half = static_cast<std::ptrdiff_t>(packet.size() / 2);
            out.Send(Bytes(packet.begin(), packet.begin() + half));
            out.Send(Bytes(packet.begin() + half, packet.end()), device.secondPartDelayMs);
            return;
        }
        case Fault::Double:
            out.Send(packet);
            out.Send(packet);
            return;
        case Fault::Stray: {
            // A candidate claiming 20 bytes more than the reply, whose checksum will not match; the
            // bytes that complete it come only after the pause.
            const auto claimed =
                static_cast<std::uint8_t>(std::min<std::size_t>(packet.size() + 20, 255));
            Bytes stray = {0x01, 'X', static_cast<std::uint8_t>(0xFF - 'X'), claimed};
            Bytes rest(claimed + 2u - packet.size(), 0x00);
            Bytes whole = stray;
            whole.insert(whole.end(), packet.begin(), packet.end());
            whole.insert(whole.end(), rest.begin(), rest.end() - 2);
            std::uint16_t sum = 0;
            for (std::uint8_t byte : whole) {
                sum = static_cast<std::uint16_t>(sum + byte);
            }
            const std::uint16_t wrong = sum == 0xEEEE ? 0xEEEF : 0xEEEE;
            rest[rest.size() - 2] = static_cast<std::uint8_t>(wrong & 0xFF);
            rest[rest.size() - 1] = static_cast<std::uint8_t>(wrong >> 8);
            stray.insert(stray.end(), packet.begin(), packet.end());
            out.Send(stray);
            out.Send(rest, device.secondPartDelayMs);
            return;
        }
        case Fault::BadChecksum: {
            std::uint8_t& low = packet[packet.size() - 2];
            low = static_cast<std::uint8_t>(low ^ (low == 0x41 ? 0x42 : 0x40));  // never 0x01
        }
            out.Send(packet);
            return;
        default:
            out.Send(packet);
            return;
    }
}

}  // namespace sim
