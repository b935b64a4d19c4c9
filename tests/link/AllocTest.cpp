// A collection allocates nothing: this binary replaces operator new with a counting one and
// counts only what the collecting thread allocates (the simulator's thread allocates freely).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "comm/Comm.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace {
thread_local bool counting = false;
std::atomic<unsigned> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (counting) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

TEST(CollectAllocations, NoneDuringACollection) {
    // The counter itself works.
    counting = true;
    delete new int(5);
    counting = false;
    ASSERT_EQ(allocations.exchange(0), 1u);

    sim::DeviceState device;
    device.fault = sim::Fault::Double;  // two packets: reads, scans, a move down, two dispatches
    sim::ReceiverSim receiver(device);
    setenv("REFLASHER_COM4", receiver.SlavePath().c_str(), 1);
    CommStartup();
    ReceiverLink link;
    CommPortConfig config{};
    config.port = 4;
    config.baud = 19200;
    config.dataBits = 8;
    config.stopBits = 1;
    ASSERT_EQ(CommOpen(&link.port, &config), 0);

    std::uint8_t buffer[ReceiverLink::kCapacity];
    for (const std::uint8_t command : {std::uint8_t{'-'}, std::uint8_t{'F'}}) {
        std::uint8_t* data = BuildRequestHeader(buffer, command, command == 'F' ? 1 : 0);
        if (command == 'F') {
            data[0] = 3;
        }
        CommWrite(link.port, buffer, AppendChecksum(buffer, buffer[3]));
        counting = true;
        const bool found = link.CollectReplies(buffer);
        counting = false;
        EXPECT_TRUE(found);
        EXPECT_EQ(link.stats.packets, 2u);
        EXPECT_EQ(allocations.load(), 0u) << "collection for '" << command << "'";
    }
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
    EXPECT_EQ(link.power.batteryLevel, 3900);

    CommClose(link.port);
    CommCleanup();
    unsetenv("REFLASHER_COM4");
}

}  // namespace
