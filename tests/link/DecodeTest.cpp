#include <gtest/gtest.h>

#include <cstring>

#include "link/ReceiverLink.h"
#include "tests/link/LinkTestUtil.h"

namespace {

using linktest::Bytes;
using linktest::IdentityData;
using linktest::MakePacket;
using linktest::PowerData;

// Decodes from an exactly sized copy, so AddressSanitizer catches any read past the packet.
void Dispatch(ReceiverLink& link, const Bytes& packet) {
    auto copy = std::make_unique<std::uint8_t[]>(packet.size());
    std::memcpy(copy.get(), packet.data(), packet.size());
    link.DispatchReply(copy.get(), static_cast<std::uint32_t>(packet.size()));
}

TEST(Decode, IdentityReply) {
    ReceiverLink link;
    Dispatch(link, MakePacket('-', IdentityData("169-508231-004", 0x12345678, "VIZ")));
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
    EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");

    // Leading zeros, upper case; a five-letter prefix keeps six of the eight digits.
    Dispatch(link, MakePacket('-', IdentityData("169-508231-004", 0x00ABCDEF, "ABCDE")));
    EXPECT_STREQ(link.identity.serialNumber, "ABCDE00ABCD");
    EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");

    // A NUL at offset 10 ends the version after six characters; the rest of the field is ignored.
    Bytes data = IdentityData("169-508231-004", 1, "GRY");
    data[6] = 0;
    Dispatch(link, MakePacket('-', data));
    EXPECT_STREQ(link.identity.firmwareVersion, "169-50");
    EXPECT_STREQ(link.identity.serialNumber, "GRY00000001");

    // A prefix longer than the serial number leaves no digit at all.
    Dispatch(link, MakePacket('-', IdentityData("X", 7, "PREFIXTOOLONG")));
    EXPECT_STREQ(link.identity.serialNumber, "PREFIXTOOLO");
    EXPECT_STREQ(link.identity.firmwareVersion, "X");
}

TEST(Decode, ShortIdentityRepliesStayInsideThePacket) {
    ReceiverLink link;
    Dispatch(link, MakePacket('-', IdentityData("169-508231-004", 0x12345678, "VIZ")));

    // Prefix without a NUL: it ends with the data.
    Bytes data = IdentityData("169-508231-004", 0x12345678, "VIZ");
    data.pop_back();
    Dispatch(link, MakePacket('-', data));
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");

    // No prefix byte at all (data ends right after the value): the digits alone.
    data.resize(14 + 59 + 4);
    Dispatch(link, MakePacket('-', data));
    EXPECT_STREQ(link.identity.serialNumber, "12345678");

    // Value cut off: empty serial number (no firmware file can be chosen for it).
    data.resize(14 + 59 + 2);
    Dispatch(link, MakePacket('-', data));
    EXPECT_STREQ(link.identity.serialNumber, "");
    EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");

    // Version cut off by the end of the data.
    Dispatch(link, MakePacket('-', {'1', '6', '9'}));
    EXPECT_STREQ(link.identity.firmwareVersion, "169");
    EXPECT_STREQ(link.identity.serialNumber, "");

    Dispatch(link, MakePacket('-', {}));
    EXPECT_STREQ(link.identity.firmwareVersion, "");
    EXPECT_STREQ(link.identity.serialNumber, "");

    // Fourteen version characters with no NUL: all of them, terminated.
    Dispatch(link, MakePacket('-', IdentityData("ABCDEFGHIJKLMN", 0, "VIZ")));
    EXPECT_STREQ(link.identity.firmwareVersion, "ABCDEFGHIJKLMN");
}

TEST(Decode, PowerReply) {
    ReceiverLink link;
    Dispatch(link, MakePacket('F', PowerData(3, 0x80, 3600)));
    EXPECT_EQ(link.power.externalPower, 1);
    EXPECT_EQ(link.power.batteryLevel, 3600);

    // Byte 8 0x7F: bit 7 clear. Battery bytes FF FF FF FF: -1.
    Dispatch(link, MakePacket('F', PowerData(3, 0x7F, -1)));
    EXPECT_EQ(link.power.externalPower, 0);
    EXPECT_EQ(link.power.batteryLevel, -1);

    // Bytes 10 0E 00 00 exactly as they come off the line.
    Dispatch(link, MakePacket('F', {3, 0, 0, 0, 0xFF, 0x10, 0x0E, 0x00, 0x00, 0x55}));
    EXPECT_EQ(link.power.externalPower, 1);
    EXPECT_EQ(link.power.batteryLevel, 3600);

    // Another sub-code, or no sub-code at all: not decoded.
    Dispatch(link, MakePacket('F', PowerData(4, 0x00, 12)));
    Dispatch(link, MakePacket('F', {}));
    EXPECT_EQ(link.power.externalPower, 1);
    EXPECT_EQ(link.power.batteryLevel, 3600);

    // Other commands decode nothing.
    Dispatch(link, MakePacket('?', {'R', 'U', 'V', 'U', '-', '0', '0', '0'}));
    EXPECT_EQ(link.power.batteryLevel, 3600);
    EXPECT_STREQ(link.identity.serialNumber, "");

    // A power reply too short to hold the battery level reads as no power, empty battery.
    Dispatch(link, MakePacket('F', {3, 0, 0, 0, 0x80, 0x10, 0x0E, 0x00}));
    EXPECT_EQ(link.power.externalPower, 0);
    EXPECT_EQ(link.power.batteryLevel, 0);
}

// The scan-and-remove step of the collection, fed byte arrays.
TEST(Decode, ScanHeldRemovesWhatIsUsedUp) {
    ReceiverLink link;
    std::uint8_t buffer[ReceiverLink::kCapacity];
    auto hold = [&](const Bytes& bytes) {
        std::memcpy(buffer, bytes.data(), bytes.size());
        return static_cast<std::uint32_t>(bytes.size());
    };
    const Bytes identity = MakePacket('-', IdentityData("169-508231-004", 0x12345678, "VIZ"));
    const Bytes power = MakePacket('F', PowerData(3, 0x00, 4000));

    // Garbage and a packet go together; the next packet moves to the front.
    Bytes held = {0x00, 0x7E};
    held.insert(held.end(), identity.begin(), identity.end());
    held.insert(held.end(), power.begin(), power.end());
    std::uint32_t count = hold(held);
    ScanStep step = link.ScanHeld(buffer, count);
    EXPECT_TRUE(step.dispatched);
    EXPECT_EQ(step.removed, 2 + identity.size());
    EXPECT_STREQ(link.identity.serialNumber, "VIZ12345678");
    ASSERT_EQ(count, power.size());
    EXPECT_EQ(Bytes(buffer, buffer + count), power);
    step = link.ScanHeld(buffer, count);
    EXPECT_TRUE(step.dispatched);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(link.power.batteryLevel, 4000);

    // Split packet: the garbage in front goes, the first part stays; then the rest completes it.
    held = {0x55, 0x66, 0x77};
    held.insert(held.end(), power.begin(), power.begin() + 6);
    count = hold(held);
    step = link.ScanHeld(buffer, count);
    EXPECT_FALSE(step.dispatched);
    EXPECT_EQ(step.removed, 3u);
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(power.begin(), power.begin() + 6));
    for (std::size_t i = 6; i < power.size(); ++i) {
        buffer[count++] = power[i];
    }
    step = link.ScanHeld(buffer, count);
    EXPECT_TRUE(step.dispatched);
    EXPECT_EQ(count, 0u);

    // An incomplete candidate at the front: nothing to remove (the collection's stall case).
    count = hold({0x01, 0x58, 0xA7, 0x40, 0x00});
    step = link.ScanHeld(buffer, count);
    EXPECT_FALSE(step.dispatched);
    EXPECT_EQ(step.removed, 0u);
    EXPECT_EQ(count, 5u);

    // No candidate left: everything goes.
    count = hold({0x10, 0x20, 0x30, 0x40, 0x50});
    step = link.ScanHeld(buffer, count);
    EXPECT_EQ(step.removed, 5u);
    EXPECT_EQ(count, 0u);
}

}  // namespace
