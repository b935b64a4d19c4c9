// The firmware image format, the bootloader frames and the receiver's bootloader side, driven
// byte by byte as the simulator and prog.exe drive them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/bootloader/BootProtocol.h"
#include "tools/bootloader/BootloaderSide.h"
#include "tools/bootloader/FirmwareImage.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Le32(std::uint32_t v) {
    Bytes b(4);
    firmware::PutLe32(b.data(), v);
    return b;
}

// Plays the host: sends requests at a line speed and collects what the bootloader sends back.
struct Host {
    std::uint64_t now = 1000;
    std::uint32_t lineBaud = 19200;
    boot::FrameReader replies;
    std::vector<std::uint32_t> replyBauds;
    boot::BootloaderSide side;

    explicit Host(boot::BootloaderSide::Options options = {})
        : side(options, [this](const std::uint8_t* bytes, std::size_t length, std::uint32_t baud) {
              replies.Feed(bytes, length);
              replyBauds.push_back(baud);
          }) {}

    void Send(boot::Command command, const Bytes& data) {
        const Bytes frame = boot::EncodeFrame(command, data);
        side.Receive(frame.data(), frame.size(), lineBaud, now);
    }
    // The reply to `command`, or an empty frame when none came.
    boot::Frame Ask(boot::Command command, const Bytes& data = {}) {
        Send(command, data);
        auto reply = replies.Next();
        if (!reply) return {};
        EXPECT_EQ(reply->command, command | boot::kReplyBit);
        return *reply;
    }
    std::uint8_t Status(boot::Command command, const Bytes& data = {}) {
        const boot::Frame reply = Ask(command, data);
        return reply.data.empty() ? 0xFF : reply.data[0];
    }
    void Flash(const Bytes& image, std::size_t block = 200) {
        EXPECT_EQ(Status(boot::kErase, Le32(static_cast<std::uint32_t>(image.size()))), 0xFF)
            << "erase takes time";
        now += 1000;
        side.Tick(now);
        auto erased = replies.Next();
        ASSERT_TRUE(erased.has_value());
        EXPECT_EQ(erased->data.at(0), boot::kOk);
        for (std::size_t offset = 0; offset < image.size(); offset += block) {
            Bytes request = Le32(static_cast<std::uint32_t>(offset));
            const std::size_t count = std::min(block, image.size() - offset);
            request.insert(request.end(), image.begin() + static_cast<long>(offset),
                           image.begin() + static_cast<long>(offset + count));
            ASSERT_EQ(Status(boot::kWrite, request), boot::kOk) << "at " << offset;
        }
    }
};

}  // namespace

TEST(FirmwareImageTest, BuildsAndChecksHeaderLengthAndCrc) {
    // The zlib check value.
    const char* check = "123456789";
    EXPECT_EQ(firmware::Crc32(reinterpret_cast<const std::uint8_t*>(check), 9), 0xCBF43926u);

    const Bytes payload = firmware::MakePayload("169-508231-005", 1000);
    EXPECT_EQ(payload, firmware::MakePayload("169-508231-005", 1000));
    EXPECT_NE(payload, firmware::MakePayload("169-508231-004", 1000));
    const Bytes image = firmware::BuildImage("169-508231-005", payload);
    ASSERT_EQ(image.size(), firmware::kHeaderSize + 1000);
    EXPECT_EQ(std::memcmp(image.data(), "RXFW169-508231-005\0\0", 20), 0);
    const auto good = firmware::CheckImage(image);
    EXPECT_TRUE(good.ok) << good.reason;
    EXPECT_EQ(good.version, "169-508231-005");

    // Any damaged byte, in the header or the payload, and any wrong length is refused.
    for (std::size_t at : {std::size_t{0}, std::size_t{5}, std::size_t{21}, std::size_t{25},
                           std::size_t{28}, image.size() - 1}) {
        Bytes damaged = image;
        damaged[at] ^= 0x10;
        const auto result = firmware::CheckImage(damaged);
        EXPECT_FALSE(result.ok) << "byte " << at;
        EXPECT_FALSE(result.reason.empty());
    }
    Bytes shorter(image.begin(), image.end() - 1);
    EXPECT_FALSE(firmware::CheckImage(shorter).ok);
    Bytes longer = image;
    longer.push_back(0);
    EXPECT_FALSE(firmware::CheckImage(longer).ok);
    EXPECT_FALSE(firmware::CheckImage(Bytes(10, 0)).ok);
    EXPECT_TRUE(firmware::CheckImage(firmware::BuildImage("1", {})).ok);
}

TEST(BootFrameTest, FindsFramesInNoiseAndAcrossSplits) {
    const Bytes a = boot::EncodeFrame(boot::kWrite, Bytes{1, 2, 3, 0x02, 0x13});
    const Bytes b = boot::EncodeFrame(boot::kSync, {});
    Bytes damaged = boot::EncodeFrame(boot::kVerify, Bytes{9});
    damaged[4] ^= 1;
    Bytes stream = {0x00, 0x02, 0x93, 0x7F};  // noise: a false start claiming 639 bytes
    stream.insert(stream.end(), damaged.begin(), damaged.end());
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());

    boot::FrameReader reader;
    std::vector<boot::Frame> frames;
    for (std::uint8_t byte : stream) {  // one byte at a time
        reader.Feed(&byte, 1);
        while (auto f = reader.Next()) frames.push_back(*f);
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, boot::kWrite);
    EXPECT_EQ(frames[0].data, (Bytes{1, 2, 3, 0x02, 0x13}));
    EXPECT_EQ(frames[1].command, boot::kSync);
    EXPECT_TRUE(frames[1].data.empty());
}

TEST(BootloaderSideTest, AWholeFlashStartsTheNewVersion) {
    Host host;
    EXPECT_TRUE(host.side.ApplicationRuns());
    EXPECT_EQ(host.side.FirmwareVersion(), "169-508231-004");

    const boot::Frame sync = host.Ask(boot::kSync);
    ASSERT_GE(sync.data.size(), 4u);
    EXPECT_EQ(sync.data[0], boot::kOk);
    EXPECT_EQ(sync.data[3], 1);
    EXPECT_EQ(std::string(sync.data.begin() + 4, sync.data.end()), "169-508231-004");
    EXPECT_FALSE(host.side.ApplicationRuns()) << "the application stops for the session";

    // Speed switch: the reply still goes at the old speed, then only the new speed is heard.
    EXPECT_EQ(host.Status(boot::kSpeed, Le32(115200)), boot::kOk);
    EXPECT_EQ(host.replyBauds.back(), 19200u);
    EXPECT_FALSE(host.side.ListensAt(19200));
    EXPECT_EQ(host.Status(boot::kSync), 0xFF) << "19200 is noise now";
    host.lineBaud = 115200;
    EXPECT_EQ(host.Status(boot::kSync), boot::kOk);
    EXPECT_EQ(host.replyBauds.back(), 115200u);

    const Bytes image =
        firmware::BuildImage("169-508231-005", firmware::MakePayload("169-508231-005", 3000));
    host.Flash(image);
    EXPECT_TRUE(host.side.FirmwareVersion().empty()) << "erased";
    const boot::Frame verify = host.Ask(boot::kVerify);
    ASSERT_EQ(verify.data.size(), 5u);
    EXPECT_EQ(verify.data[0], boot::kOk);
    EXPECT_EQ(firmware::GetLe32(verify.data.data() + 1),
              firmware::Crc32(image.data(), image.size()));
    EXPECT_EQ(host.Status(boot::kRun), boot::kOk);
    EXPECT_TRUE(host.side.ApplicationRuns());
    EXPECT_EQ(host.side.FirmwareVersion(), "169-508231-005");
    EXPECT_TRUE(host.side.ListensAt(9600)) << "out of a session it hears any speed";
}

TEST(BootloaderSideTest, RefusesBadWritesAndUnverifiedImages) {
    Host host;
    host.Ask(boot::kSync);
    EXPECT_EQ(host.Status(boot::kWrite, Le32(0)), boot::kNotErased);
    EXPECT_EQ(host.Status(boot::kErase, Le32(5)), boot::kTooLarge);
    EXPECT_EQ(host.Status(boot::kErase, Le32(10u << 20)), boot::kTooLarge);
    EXPECT_TRUE(host.side.FirmwareVersion() == "169-508231-004")
        << "a refused erase erases nothing";

    const Bytes image = firmware::BuildImage("169-508231-005", firmware::MakePayload("x", 500));
    host.Send(boot::kErase, Le32(static_cast<std::uint32_t>(image.size())));
    EXPECT_EQ(host.Status(boot::kVerify), boot::kBusy) << "while erasing";
    host.now += 1000;
    host.side.Tick(host.now);
    ASSERT_TRUE(host.replies.Next().has_value());

    Bytes first = Le32(0);
    first.insert(first.end(), image.begin(), image.begin() + 100);
    EXPECT_EQ(host.Status(boot::kWrite, first), boot::kOk);
    EXPECT_EQ(host.Status(boot::kWrite, first), boot::kOk) << "a repeated block is taken again";
    Bytes gap = Le32(300);
    gap.insert(gap.end(), image.begin() + 300, image.begin() + 400);
    const boot::Frame outOfOrder = host.Ask(boot::kWrite, gap);
    ASSERT_EQ(outOfOrder.data.size(), 5u);
    EXPECT_EQ(outOfOrder.data[0], boot::kOutOfOrder);
    EXPECT_EQ(firmware::GetLe32(outOfOrder.data.data() + 1), 100u);
    EXPECT_EQ(host.Status(boot::kVerify), boot::kImageInvalid) << "incomplete";
    EXPECT_EQ(host.Status(boot::kRun), boot::kImageInvalid);

    // A complete but damaged image verifies as invalid and never starts.
    Bytes rest = Le32(100);
    rest.insert(rest.end(), image.begin() + 100, image.end());
    rest.back() ^= 0xFF;
    EXPECT_EQ(host.Status(boot::kWrite, rest), boot::kOk);
    EXPECT_EQ(host.Status(boot::kVerify), boot::kImageInvalid);
    EXPECT_EQ(host.Status(boot::kRun), boot::kImageInvalid);
    EXPECT_FALSE(host.side.ApplicationRuns());
}
