#include "tools/bootloader/SimBootloader.h"

#include <chrono>

namespace sim {

namespace {
std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}
}  // namespace

ReceiverWithBootloader::ReceiverWithBootloader(boot::BootloaderSide::Options options)
    : bootloader_(std::move(options), [this](const std::uint8_t* bytes, std::size_t length, std::uint32_t) {
          // The simulator paces at the line speed in force; the host switches only after it has
          // the Speed reply, so that reply still goes at the old speed.
          if (out_ != nullptr) out_->Send(Bytes(bytes, bytes + length));
      }) {}

void ReceiverWithBootloader::TakeDevice(const DeviceState& device) {
    if (synced_ && device.bricked == lastBricked_ && device.firmwareVersion == lastVersion_) return;
    synced_ = true;
    if (device.bricked) {
        bootloader_.Brick();
    } else {
        bootloader_.SetFirmware(device.firmwareVersion);
    }
    lastBricked_ = device.bricked;
    lastVersion_ = device.firmwareVersion;
}

void ReceiverWithBootloader::GiveDevice(DeviceState& device) {
    const bool valid = !bootloader_.FirmwareVersion().empty();
    device.bricked = !valid;
    if (valid) device.firmwareVersion = bootloader_.FirmwareVersion();
    lastBricked_ = device.bricked;
    lastVersion_ = device.firmwareVersion;
}

void ReceiverWithBootloader::OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud,
                                     DeviceState& device, SimOutput& out) {
    out_ = &out;
    TakeDevice(device);
    bootloader_.Receive(bytes, count, baud, NowMs());
    GiveDevice(device);
    if (bootloader_.ApplicationRuns()) application_.OnBytes(bytes, count, baud, device, out);
    out_ = nullptr;
}

void ReceiverWithBootloader::OnSpeedChange(unsigned baud, DeviceState& device, SimOutput& out) {
    application_.OnSpeedChange(baud, device, out);
}

void ReceiverWithBootloader::OnIdle(DeviceState& device, SimOutput& out) {
    out_ = &out;
    TakeDevice(device);
    bootloader_.Tick(NowMs());
    GiveDevice(device);
    if (bootloader_.ApplicationRuns()) application_.OnIdle(device, out);
    out_ = nullptr;
}

std::unique_ptr<SimProtocol> MakeReceiverWithBootloader(boot::BootloaderSide::Options options) {
    return std::make_unique<ReceiverWithBootloader>(std::move(options));
}

}  // namespace sim
