#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/Packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Scan {
    int result;
    std::uint32_t offset;
    std::uint32_t length;
};

Scan Find(const Bytes& held) {
    std::uint32_t offset = 12345;
    std::uint32_t length = static_cast<std::uint32_t>(held.size());
    const int result = FindPacket(held.data(), offset, length);
    return {result, offset, length};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const Bytes kHandshake = {0x01, 0x3F, 0xC0, 0x08, 0x52, 0x55, 0x56,
                          0x55, 0x2D, 0x30, 0x30, 0x30, 0x17, 0x03};
const Bytes kIdentity = {0x01, 0x2D, 0xD2, 0x00, 0x00, 0x01};
const Bytes kPower = {0x01, 0x46, 0xB9, 0x01, 0x03, 0x04, 0x01};

TEST(Packet, TheThreeRequestsByteForByte) {
    std::uint8_t buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), 0xAA);

    std::uint8_t* data = BuildRequestHeader(buffer, '?', 8);
    EXPECT_EQ(data, buffer + 4);
    for (int i = 4; i < 12; ++i) {
        EXPECT_EQ(buffer[i], 0) << "data byte " << i << " must be cleared";
    }
    PutHandshakeId(data);
    EXPECT_EQ(AppendChecksum(buffer, 8), 14);
    EXPECT_EQ(Bytes(buffer, buffer + 14), kHandshake);

    // Length 0 clears nothing: the checksum follows the header and byte 6 keeps its old value.
    std::fill(std::begin(buffer), std::end(buffer), 0xAA);
    EXPECT_EQ(BuildRequestHeader(buffer, '-', 0), buffer + 4);
    EXPECT_EQ(buffer[4], 0xAA);
    EXPECT_EQ(AppendChecksum(buffer, 0), 6);
    EXPECT_EQ(Bytes(buffer, buffer + 6), kIdentity);  // sum 0x0100 goes out as 00 01
    EXPECT_EQ(buffer[6], 0xAA);

    std::fill(std::begin(buffer), std::end(buffer), 0xAA);
    data = BuildRequestHeader(buffer, 'F', 1);
    EXPECT_EQ(buffer[4], 0);
    data[0] = 0x03;
    EXPECT_EQ(AppendChecksum(buffer, 1), 7);
    EXPECT_EQ(Bytes(buffer, buffer + 7), kPower);
    EXPECT_EQ(buffer[7], 0xAA);

    EXPECT_EQ(VerifyChecksum(kHandshake.data(), 12), 0);
    Bytes wrong = kHandshake;
    wrong[13] ^= 0x01;
    EXPECT_EQ(VerifyChecksum(wrong.data(), 12), 1);
}

TEST(Packet, LargestPacketSumWrapsToZero) {
    std::uint8_t buffer[261];
    std::uint8_t* data = BuildRequestHeader(buffer, 'Z', 255);
    std::fill(data, data + 255, 0xFF);
    EXPECT_EQ(AppendChecksum(buffer, 255), 261);
    EXPECT_EQ(buffer[259], 0x00);
    EXPECT_EQ(buffer[260], 0x00);
    const Scan scan = Find(Bytes(buffer, buffer + 261));
    EXPECT_EQ(scan.result, 0);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 261u);
}

TEST(Packet, FindPacketOutcomes) {
    // Nothing held.
    Scan scan = Find({});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 0u);

    // Garbage without a start byte: all of it is garbage.
    scan = Find({0x00, 0x55, 0xFF, 0x02, 0x3F});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 5u);

    // A valid packet behind garbage.
    scan = Find(Concat({{0x00, 0x13, 0x77}, kPower}));
    EXPECT_EQ(scan.result, 0);
    EXPECT_EQ(scan.offset, 3u);
    EXPECT_EQ(scan.length, 7u);

    // Two packets: the scan returns at the first.
    scan = Find(Concat({kIdentity, kPower}));
    EXPECT_EQ(scan.result, 0);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 6u);

    // 0x01 whose next two bytes do not add up to 0xFF is passed over, though a packet's worth
    // follows.
    scan = Find({0x01, 0x2D, 0xD3, 0x00, 0x00, 0x02, 0x22});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 7u);

    // A candidate with a wrong checksum, and a valid packet that starts inside it.
    // 01 46 B9 03 | 01 2D D2 00 00 01 would be data; its stored sum cannot match.
    Bytes nested = Concat({{0x01, 0x46, 0xB9, 0x02}, kIdentity});
    scan = Find(nested);
    EXPECT_EQ(scan.result, 0);
    EXPECT_EQ(scan.offset, 4u);
    EXPECT_EQ(scan.length, 6u);

    // Complete but for the last checksum byte: an incomplete candidate, checksum untested.
    scan = Find(Concat({{0x33}, Bytes(kPower.begin(), kPower.end() - 1)}));
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 1u);
    EXPECT_EQ(scan.length, 0u);

    // A final 0x01 with one or two bytes after it.
    scan = Find({0x20, 0x21, 0x01, 0x46});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 2u);
    EXPECT_EQ(scan.length, 0u);
    scan = Find({0x20, 0x01, 0x46, 0xB9});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 1u);
    EXPECT_EQ(scan.length, 0u);
    // With three bytes after it: a candidate only when the first two add up to 0xFF.
    scan = Find({0x20, 0x01, 0x46, 0xB9, 0x05});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 1u);
    EXPECT_EQ(scan.length, 0u);
    scan = Find({0x20, 0x01, 0x46, 0xB8, 0x05});
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 5u);

    // A stray candidate claiming more than has arrived hides the valid packet behind it.
    scan = Find(Concat({{0x44, 0x01, 0x58, 0xA7, 0x40}, kIdentity}));
    EXPECT_EQ(scan.result, 3);
    EXPECT_EQ(scan.offset, 1u);
    EXPECT_EQ(scan.length, 0u);

    // Garbage around a candidate with a wrong checksum, nothing valid: result 1, all garbage.
    const Bytes good = {0x01, 0x3F, 0xC0, 0x02, 0xF0, 0xF0, 0xE2, 0x02};
    ASSERT_EQ(Find(good).result, 0);
    Bytes badSum = good;
    badSum[6] ^= 0x10;
    scan = Find(Concat({{0x10, 0x11}, badSum, {0x12}}));
    EXPECT_EQ(scan.result, 1);
    EXPECT_EQ(scan.offset, 0u);
    EXPECT_EQ(scan.length, 11u);

    // A failed candidate on the way still shows as result 1 when an incomplete one ends the scan.
    scan = Find(Concat({badSum, {0x01, 0x46}}));
    EXPECT_EQ(scan.result, 1);
    EXPECT_EQ(scan.offset, 8u);
    EXPECT_EQ(scan.length, 0u);
}

}  // namespace
