#include <atomic>

#include "comm/platform/LineDevice.h"

namespace comm::platform {

namespace {
std::atomic<LineDeviceFactory> factory{nullptr};  // nullptr: the platform's own
}

void SetLineDeviceFactory(LineDeviceFactory replacement) {
    factory.store(replacement);
}

LineDevice* OpenLineDevice(std::int32_t port, void* storage) {
    LineDeviceFactory chosen = factory.load();
    return chosen != nullptr ? chosen(port, storage) : OpenPlatformLineDevice(port, storage);
}

}  // namespace comm::platform
