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
    : bootloader_(std::move(options),
                  [this](const std::uint8_t* bytes, std::size_t length, std::uint32_t) {
                      // The simulator paces at the line speed in force; the host switches only
                      // after it has the Speed reply, so that reply still goes at the old speed.
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

void ReceiverWithBootloader::AfterSession(DeviceState& device, std::uint64_t nowMs) {
    const bool valid = !bootloader_.FirmwareVersion().empty();
    if (!valid) {
        erased_ = true;
        return;
    }
    if (!erased_) {
        versionBeforeErase_ = bootloader_.FirmwareVersion();
        return;
    }
    // New firmware was started after an erase.
    erased_ = false;
    if (device.fault == Fault::KeepsOldVersion && !versionBeforeErase_.empty()) {
        bootloader_.SetFirmware(versionBeforeErase_);
        device.firmwareVersion = versionBeforeErase_;
        lastVersion_ = versionBeforeErase_;
    }
    if (device.fault == Fault::SlowStart) startedAtMs_ = nowMs + kSlowStartMs;
    if (device.fault == Fault::OtherReceiver) device.serialValue ^= 0x00010000;
    versionBeforeErase_ = bootloader_.FirmwareVersion();
}

void ReceiverWithBootloader::OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud,
                                     DeviceState& device, SimOutput& out) {
    out_ = &out;
    const std::uint64_t now = NowMs();
    TakeDevice(device);
    bootloader_.SetFlashWorn(device.fault == Fault::WornFlash);
    bootloader_.Receive(bytes, count, baud, now);
    GiveDevice(device);
    AfterSession(device, now);
    if (bootloader_.ApplicationRuns() && Started(now))
        application_.OnBytes(bytes, count, baud, device, out);
    out_ = nullptr;
}

void ReceiverWithBootloader::OnSpeedChange(unsigned baud, DeviceState& device, SimOutput& out) {
    application_.OnSpeedChange(baud, device, out);
}

void ReceiverWithBootloader::OnIdle(DeviceState& device, SimOutput& out) {
    out_ = &out;
    const std::uint64_t now = NowMs();
    TakeDevice(device);
    bootloader_.Tick(now);
    GiveDevice(device);
    AfterSession(device, now);
    if (bootloader_.ApplicationRuns() && Started(now)) application_.OnIdle(device, out);
    out_ = nullptr;
}

std::unique_ptr<SimProtocol> MakeReceiverWithBootloader(boot::BootloaderSide::Options options) {
    return std::make_unique<ReceiverWithBootloader>(std::move(options));
}

}  // namespace sim
