// The simulated receiver with its bootloader: a SimProtocol for ReceiverSim that hands every
// byte to the bootloader and, while valid firmware runs outside a bootloader session, to the
// receiver's request/reply side as well.
//
// The device state and the bootloader agree at the end of every call: `bricked` while the flash
// holds no valid firmware (after an erase, until a verified image is started), and
// `firmwareVersion` is the running firmware's. A test that sets `bricked` (or a new version)
// itself is followed by the bootloader. A bricked receiver answers nothing of the wizard's
// protocol; its bootloader answers a Sync at any speed, 9600 included.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/bootloader/BootloaderSide.h"
#include "tools/receiver-sim/ReceiverProtocol.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace sim {

class ReceiverWithBootloader : public SimProtocol {
  public:
    // `options.firmwareVersion` is ignored: the device state says what runs.
    explicit ReceiverWithBootloader(boot::BootloaderSide::Options options = {});

    void OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud, DeviceState& device,
                 SimOutput& out) override;
    void OnSpeedChange(unsigned baud, DeviceState& device, SimOutput& out) override;
    void OnIdle(DeviceState& device, SimOutput& out) override;

  private:
    void TakeDevice(const DeviceState& device);
    void GiveDevice(DeviceState& device);

    // Notes a start of new firmware (the flash was erased and valid firmware runs again), and
    // plays the faults that concern it: the old version back, or a slow start.
    void AfterSession(DeviceState& device, std::uint64_t nowMs);
    // False while a slowly starting firmware is not up yet.
    bool Started(std::uint64_t nowMs) const { return nowMs >= startedAtMs_; }

    ReceiverProtocol application_;
    boot::BootloaderSide bootloader_;
    SimOutput* out_ = nullptr;  // set for the length of each call (all on the simulator's thread)
    bool synced_ = false;
    bool lastBricked_ = false;  // the device state as this protocol last left it
    std::string lastVersion_;
    std::string versionBeforeErase_;  // the firmware that ran before the last erase
    bool erased_ = false;             // the flash was erased and holds no started firmware yet
    std::uint64_t startedAtMs_ = 0;   // when the firmware started last answers the wizard
};

std::unique_ptr<SimProtocol> MakeReceiverWithBootloader(boot::BootloaderSide::Options options = {});

}  // namespace sim
