// Reply collection through the serial engine, against the simulated receiver on a pseudo-terminal.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <thread>

#include "comm/Comm.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(20);
constexpr int kPort = 3;

class Collect : public ::testing::Test {
  protected:
    void SetUp() override { CommStartup(); }
    void TearDown() override {
        if (link.port != 0) {
            CommClose(link.port);
        }
        CommCleanup();
        unsetenv("REFLASHER_COM3");
    }

    void Start(sim::DeviceState device, unsigned baud = 19200) {
        receiver = std::make_unique<sim::ReceiverSim>(device);
        setenv("REFLASHER_COM3", receiver->SlavePath().c_str(), 1);
        Open(baud);
    }
    void Open(unsigned baud) {
        CommPortConfig config{};  // as the connecting page fills it
        config.port = kPort;
        config.baud = baud;
        config.dataBits = 8;
        config.stopBits = 1;
        config.spare[2] = 5000;
        config.spare[3] = 3000;
        config.spare[4] = 3000;
        ASSERT_EQ(CommOpen(&link.port, &config), 0);
    }

    // Builds a request at the start of the buffer and sends it, as the connecting page does.
    std::uint16_t Send(std::uint8_t command) {
        std::uint8_t length = command == '?' ? 8 : command == 'F' ? 1 : 0;
        std::uint8_t* data = BuildRequestHeader(buffer, command, length);
        if (command == '?') {
            PutHandshakeId(data);
        } else if (command == 'F') {
            data[0] = 3;
        }
        const std::uint16_t total = AppendChecksum(buffer, length);
        CommWrite(link.port, buffer, total);
        return total;
    }
    bool Ask(std::uint8_t command) {
        Send(command);
        return link.CollectReplies(buffer);
    }
    // Waits until the engine holds at least `count` received bytes, so the first cycle sees them
    // all.
    bool WaitForRing(int count) {
        const auto deadline = Clock::now() + kPatience;
        while (CommBytesAvailable(link.port) < count) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // A cycle hook that, at the end of the first cycle holding bytes but no packet, lets the
    // simulator's held part go and waits until the engine has it, so it lands in the next cycle.
    struct Releaser {
        Collect* test;
        int restLength;
        std::uint32_t releasedInCycle = 0;
    };
    static void ReleaseOnce(void* context, const CollectionStats& soFar) {
        auto* releaser = static_cast<Releaser*>(context);
        if (releaser->releasedInCycle != 0 || soFar.held == 0 || soFar.packets != 0) {
            return;
        }
        releaser->releasedInCycle = soFar.cycles;
        releaser->test->receiver->Release();
        EXPECT_TRUE(releaser->test->WaitForRing(releaser->restLength));
    }

    ReceiverLink link;
    std::unique_ptr<sim::ReceiverSim> receiver;
    std::uint8_t buffer[ReceiverLink::kCapacity + 1] = {};
};

TEST_F(Collect, OneReplyIsDispatchedAndTheNextQuietCycleEnds) {
    sim::DeviceState device;
    device.serialPrefix = "VIZ";
    device.serialValue = 0x12345678;
    device.externalPower = false;
    device.batteryLevel = 3600;
    Start(device);

    // As the page calls it: right after the write. One packet; the cycle after it ends the call.
    EXPECT_TRUE(Ask('?'));
    EXPECT_EQ(link.stats.packets, 1u);
    EXPECT_EQ(link.stats.cycles, link.stats.lastPacketCycle + 1);
    EXPECT_STREQ(link.identity.serialNumber, "");  // the handshake reply decodes nothing

    // The whole reply already waiting: dispatched in the first cycle, true after the second.
    Send('-');
    ASSERT_TRUE(WaitForRing(87));
    EXPECT_TRUE(link.CollectReplies(buffer));
    EXPECT_EQ(link.stats.lastPacketCycle, 1u);
    EXPECT_EQ(link.stats.cycles, 2u);
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
    EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");

    EXPECT_TRUE(Ask('F'));
    EXPECT_EQ(link.power.externalPower, 0);
    EXPECT_EQ(link.power.batteryLevel, 3600);
    EXPECT_FALSE(link.stats.stalled);
    EXPECT_FALSE(link.stats.hitCycleLimit);
}

TEST_F(Collect, SilenceEndsAfterOneCycleAndLeavesTheRequest) {
    sim::DeviceState device;
    device.fault = sim::Fault::Silent;
    Start(device);
    EXPECT_FALSE(Ask('?'));
    EXPECT_EQ(link.stats.cycles, 1u);
    const std::uint8_t handshake[] = {0x01, 0x3F, 0xC0, 0x08, 0x52, 0x55, 0x56,
                                      0x55, 0x2D, 0x30, 0x30, 0x30, 0x17, 0x03};
    EXPECT_TRUE(std::equal(std::begin(handshake), std::end(handshake), buffer));

    // An engine error (no port) counts as nothing available: false after one cycle too.
    ReceiverLink closed;
    EXPECT_FALSE(closed.CollectReplies(buffer));
    EXPECT_EQ(closed.stats.cycles, 1u);
}

TEST_F(Collect, SplitReplyIsDispatchedInTheCycleItsLastByteArrives) {
    sim::DeviceState device;
    device.fault = sim::Fault::Split;
    device.secondPartDelayMs = -1;
    Start(device);
    Releaser releaser{this, 44};
    link.cycleHook = &ReleaseOnce;
    link.cycleHookContext = &releaser;
    Send('-');
    ASSERT_TRUE(WaitForRing(43));  // the first part, whole, before the first cycle
    EXPECT_TRUE(link.CollectReplies(buffer));
    EXPECT_EQ(releaser.releasedInCycle, 1u);
    ASSERT_NE(releaser.releasedInCycle, 0u);
    EXPECT_EQ(link.stats.packets, 1u);
    EXPECT_EQ(link.stats.lastPacketCycle, releaser.releasedInCycle + 1);
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
}

TEST_F(Collect, TwoPacketsInOneCycleGoOutOneACycle) {
    sim::DeviceState device;
    device.fault = sim::Fault::Double;
    device.batteryLevel = 4100;
    Start(device);
    Send('F');
    ASSERT_TRUE(WaitForRing(2 * 17));
    EXPECT_TRUE(link.CollectReplies(buffer));
    EXPECT_EQ(link.stats.packets, 2u);
    EXPECT_EQ(link.stats.lastPacketCycle, 2u);
    EXPECT_EQ(link.stats.cycles, 3u);
    EXPECT_EQ(link.power.batteryLevel, 4100);
}

TEST_F(Collect, StrayCandidateHidesTheReplyUntilItIsComplete) {
    sim::DeviceState device;
    device.fault = sim::Fault::Stray;
    device.secondPartDelayMs = -1;
    device.externalPower = true;
    device.batteryLevel = 2000;
    Start(device);
    Releaser releaser{this, 22};
    link.cycleHook = &ReleaseOnce;
    link.cycleHookContext = &releaser;
    Send('F');
    ASSERT_TRUE(WaitForRing(4 + 17));
    EXPECT_TRUE(link.CollectReplies(buffer));
    EXPECT_EQ(releaser.releasedInCycle, 1u);
    EXPECT_EQ(link.stats.lastPacketCycle, 2u);
    EXPECT_EQ(link.power.externalPower, 1);
    EXPECT_EQ(link.power.batteryLevel, 2000);
}

TEST_F(Collect, StalledCandidateAndNoiseFloodBothEnd) {
    {
        SCOPED_TRACE("stalled candidate");
        sim::DeviceState device;
        device.fault = sim::Fault::Stray;
        device.secondPartDelayMs = -1;  // never released: the stray candidate stays incomplete
        Start(device);
        Send('F');
        ASSERT_TRUE(WaitForRing(4 + 17));
        EXPECT_FALSE(link.CollectReplies(buffer));
        EXPECT_TRUE(link.stats.stalled);
        EXPECT_EQ(link.stats.cycles, 2u);
        EXPECT_EQ(link.stats.held, 4u + 17u);
        CommClose(link.port);
        link.port = 0;
    }
    {
        SCOPED_TRACE("noise flood");
        sim::DeviceState device;
        device.fault = sim::Fault::NoiseFlood;
        Start(device);
        EXPECT_FALSE(Ask('?'));
        EXPECT_TRUE(link.stats.hitCycleLimit);
        EXPECT_EQ(link.stats.busyCycles, ReceiverLink::kMaxBusyCycles);
    }
}

TEST_F(Collect, RepliesThatCountButDecodeNothingOrLittle) {
    {
        SCOPED_TRACE("power reply with another sub-code");
        sim::DeviceState device;
        device.fault = sim::Fault::OtherSubCode;
        Start(device);
        link.power.externalPower = 1;
        link.power.batteryLevel = 77;
        EXPECT_TRUE(Ask('F'));
        EXPECT_EQ(link.stats.packets, 1u);
        EXPECT_EQ(link.power.externalPower, 1);
        EXPECT_EQ(link.power.batteryLevel, 77);
        CommClose(link.port);
        link.port = 0;
    }
    {
        SCOPED_TRACE("truncated replies");
        sim::DeviceState device;
        device.fault = sim::Fault::Truncated;
        Start(device);
        EXPECT_TRUE(Ask('-'));
        EXPECT_STREQ(link.identity.serialNumber, "");
        EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");
        link.power.batteryLevel = 77;
        EXPECT_TRUE(Ask('F'));
        EXPECT_EQ(link.power.externalPower, 0);
        EXPECT_EQ(link.power.batteryLevel, 0);
        CommClose(link.port);
        link.port = 0;
    }
    {
        SCOPED_TRACE("bad checksum, no power reply");
        sim::DeviceState device;
        device.fault = sim::Fault::BadChecksum;
        Start(device);
        EXPECT_FALSE(Ask('-'));
        receiver->UpdateDevice([](sim::DeviceState& state) { state.fault = sim::Fault::NoPower; });
        EXPECT_TRUE(Ask('-'));
        EXPECT_FALSE(Ask('F'));
    }
}

TEST_F(Collect, UnplugAndWrongSpeed) {
    {
        SCOPED_TRACE("unplugged in the middle of the identity reply");
        sim::DeviceState device;
        device.fault = sim::Fault::Unplug;
        Start(device);
        EXPECT_TRUE(Ask('?'));
        EXPECT_FALSE(Ask('-'));
        EXPECT_STREQ(link.identity.serialNumber, "");
        ASSERT_TRUE(receiver->Count().unplugged);
        CommClose(link.port);
        link.port = 0;
    }
    {
        SCOPED_TRACE("a 9600 receiver: noise at 19200, answers after the reopen at 9600");
        sim::DeviceState device;
        device.ownBaud = 9600;
        Start(device, 19200);
        EXPECT_FALSE(Ask('?'));
        CommClose(link.port);
        link.port = 0;
        Open(9600);
        EXPECT_TRUE(Ask('?'));
        EXPECT_TRUE(Ask('-'));
        EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
    }
}

}  // namespace

namespace {

// Everything at once, before the first cycle; no pauses.
class BurstSource : public ReplySource {
  public:
    explicit BurstSource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void Pause() override {}
    int BytesAvailable() override { return static_cast<int>(bytes_.size() - taken_); }
    int Read(std::uint8_t* destination, std::int32_t count) override {
        const auto n =
            std::min<std::size_t>(static_cast<std::size_t>(count), bytes_.size() - taken_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(taken_), n, destination);
        taken_ += n;
        return static_cast<int>(n);
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t taken_ = 0;
};

TEST(CollectBurst, EveryPacketOfOneBurstIsDispatched) {
    // 30 power replies that arrived together: one is dispatched a cycle, and cycles that only
    // work off what is held do not count against the bound on a busy line.
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 30; ++i) {
        std::uint8_t packet[7 + 13];
        std::uint8_t* data = BuildRequestHeader(packet, 'F', 13);
        data[0] = 3;
        data[5] = static_cast<std::uint8_t>(i);  // battery level i
        burst.insert(burst.end(), packet, packet + AppendChecksum(packet, 13));
    }
    BurstSource source(burst);
    ReceiverLink link;
    std::uint8_t buffer[ReceiverLink::kCapacity];
    EXPECT_TRUE(link.CollectFrom(source, buffer));
    EXPECT_EQ(link.stats.packets, 30u);
    EXPECT_EQ(link.stats.busyCycles, 1u);
    EXPECT_EQ(link.power.batteryLevel, 29);
    EXPECT_FALSE(link.stats.hitCycleLimit);
}

}  // namespace
