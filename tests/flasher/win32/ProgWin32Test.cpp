// The Windows prog.exe (beside this test) flashing the simulated receiver, which runs on the
// Linux side of Wine on COM2's pseudo-terminal, through RunFlasher. The receiver's firmware
// version is asked for before and after through the engine, as the connecting page asks.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/Comm.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "res/Resource.h"
#include "source/Flasher.h"
#include "tests/wine/RemotePty.h"

namespace {

constexpr std::int32_t kPort = 2;

// The firmware version the receiver on COM kPort reports to the identity request at 19200 baud,
// or "" when no valid reply came.
std::string ReportedVersion() {
    CommStartup();
    CommPortConfig config{};
    config.port = kPort;
    config.baud = 19200;
    config.dataBits = 8;
    config.stopBits = 1;
    PortHandle port = 0;
    std::string version = CommOpen(&port, &config) == 0 ? "" : "(cannot open)";
    if (port != 0) {
        std::uint8_t request[6];
        BuildRequestHeader(request, '-', 0);
        const std::uint16_t length = AppendChecksum(request, 0);
        CommWrite(port, request, length);
        std::vector<std::uint8_t> held;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::uint8_t bytes[512];
            const int got = CommRead(port, bytes, sizeof bytes);
            if (got > 0) held.insert(held.end(), bytes, bytes + got);
            std::uint32_t offset = 0;
            auto size = static_cast<std::uint32_t>(held.size());
            if (held.size() >= 4 && FindPacket(held.data(), offset, size) == 0 &&
                held[offset + 1] == '-') {
                ReceiverLink link;
                link.ParseIdentityReply(held.data() + offset, size);
                version = link.identity.firmwareVersion;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        CommClose(port);
    }
    CommCleanup();
    return version;
}

TEST(ProgWin32, FlashesTheSimulatedReceiverThroughRunFlasher) {
    winetest::RemoteReceiver receiver(kPort, "--version 169-508231-004");
    ASSERT_TRUE(receiver.Ok());
    EXPECT_EQ(ReportedVersion(), "169-508231-004");

    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    FlasherSurroundings surroundings;
    std::vector<std::string> messages;
    surroundings.showMessage = [&](const std::string& text) { messages.push_back(text); };
    // The real wizard folder: where this test, prog.exe and the built image live.
    EXPECT_EQ(RunFlasher("508231.005", kPort, 19200, 115200, kUpdateCompletionLimitMs,
                         res::ids::kUpdateFailed, surroundings),
              FlasherResult::Succeeded)
        << (messages.empty() ? "" : messages[0]);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(ReportedVersion(), "169-508231-005");
}

}  // namespace
