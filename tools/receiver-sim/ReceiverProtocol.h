// The receiver's side of the request/reply link: answers the handshake, the identity request
// and the power status request (sub-code 3) from the device state, with the device's fault mode.
#pragma once

#include "tools/receiver-sim/ReceiverSim.h"

namespace sim {

// A packet in the link's frame (start byte, command, complement, length, data, 16-bit sum).
Bytes Frame(std::uint8_t command, const Bytes& data);
// The replies as the receiver builds them from its state.
Bytes IdentityReplyData(const DeviceState& device);
Bytes PowerReplyData(const DeviceState& device, std::uint8_t subCode);

class ReceiverProtocol : public SimProtocol {
  public:
    void OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud, DeviceState& device,
                 SimOutput& out) override;
    void OnSpeedChange(unsigned baud, DeviceState& device, SimOutput& out) override;
    void OnIdle(DeviceState& device, SimOutput& out) override;

  private:
    void Answer(const std::uint8_t* request, std::uint32_t length, DeviceState& device,
                SimOutput& out);
    void Reply(Bytes packet, const DeviceState& device, SimOutput& out);

    Bytes pending_;  // request bytes received at the right speed, not yet a whole packet
    bool flooding_ = false;
    std::uint32_t noiseSeed_ = 0x5EED;
};

}  // namespace sim
