// What only the POSIX line device shows: the line settings as termios on the pseudo-terminal,
// and reads of an empty raw line.
#include <gtest/gtest.h>
#include <limits.h>
#include <termios.h>

#include <utility>

#include "comm/CommInternal.h"
#include "comm/platform/LineDevice.h"
#include "comm/platform/posix/CustomSpeed.h"
#include "tests/comm/CommTestSupport.h"

using commtest::LineConfig;
using commtest::Pty;

namespace {

class CommPosixLine : public ::testing::Test {
  protected:
    void TearDown() override {
        while (CommStartCount != 0) CommCleanup();
    }
};

TEST_F(CommPosixLine, LineSettingsReachThePseudoTerminalAsRawTermios) {
    ASSERT_EQ(CommStartup(), 0);
    Pty pty(38);
    ASSERT_TRUE(pty.Ok());
    // The master reports the slave's settings.
    auto settingsFor = [&](CommPortConfig config, termios* settings) {
        PortHandle handle = 0;
        int result = CommOpen(&handle, &config);
        if (result == 0) {
            EXPECT_EQ(tcgetattr(pty.Master(), settings), 0);
            EXPECT_EQ(CommClose(handle), 0);
        }
        return result;
    };
    termios settings{};
    ASSERT_EQ(settingsFor(LineConfig(38), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B19200));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | HUPCL | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0u);
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);

    // Speed 0 stands for 9600 here (no free speed setting): the line is never hung up. Two stop
    // bits and both kinds of flow control are what the pseudo-terminal holds.
    CommPortConfig config = LineConfig(38, 0);
    config.stopBits = 3;
    config.xonXoff = 1;
    config.ctsHandshake = 1;
    ASSERT_EQ(settingsFor(config, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

    // A pseudo-terminal takes 7 data bits or parity and quietly keeps 8 bits and none: what the
    // line does not hold is refused, and the line keeps what it had.
    const std::pair<std::uint8_t, std::uint8_t> unheld[] = {{7, 3}, {8, 2}, {5, 4}, {8, 5}, {7, 0}};
    for (auto [bits, parity] : unheld) {
        config = LineConfig(38, 1200);
        config.dataBits = bits;
        config.parity = parity;
        EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_SETUP_FAILED)
            << int(bits) << " bits, parity " << int(parity);
        ASSERT_EQ(tcgetattr(pty.Master(), &settings), 0);
        EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
        EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    }

    // Listed speeds without a termios code are set as plain numbers.
    for (std::uint32_t baud : {14400u, 128000u, 256000u}) {
        PortHandle handle = 0;
        config = LineConfig(38, baud);
        ASSERT_EQ(CommOpen(&handle, &config), 0);
        std::uint32_t speed = 0;
        EXPECT_TRUE(comm::platform::ReadLineSpeed(pty.Master(), &speed));
        EXPECT_EQ(speed, baud);
        EXPECT_EQ(CommClose(handle), 0);
    }

    // What termios cannot do is refused and leaves the line as it was.
    config = LineConfig(38, 1200);
    ASSERT_EQ(settingsFor(config, &settings), 0);
    config.stopBits = 2;  // one and a half
    EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_SETUP_FAILED);
    config = LineConfig(38, 1200);
    config.dataBits = 4;
    EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_SETUP_FAILED);
    config = LineConfig(38, 56000);
    EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_BAD_BAUD);
    ASSERT_EQ(tcgetattr(pty.Master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B1200));

    // A device path too long to open whole is refused with its reason, never cut to its start
    // (which names this pseudo-terminal).
    const std::string whole =
        std::string(PATH_MAX - 1 - pty.SlavePath().size(), '/') + pty.SlavePath() + "x";
    setenv("REFLASHER_COM38", whole.c_str(), 1);
    PortHandle handle = 0;
    config = LineConfig(38, 1200);
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_OPEN_FAILED);
    EXPECT_NE(std::string(CommOpenFailure()).find("longer than 4095 bytes"), std::string::npos);
}

// An empty read is not a hang-up: after it the next byte is still reported as received at once,
// not after the pause that a hung-up line takes.
TEST_F(CommPosixLine, EmptyReadIsNotAHangUp) {
    Pty pty(3);
    ASSERT_TRUE(pty.Ok());
    alignas(std::max_align_t) unsigned char storage[comm::platform::kLineDeviceStorageSize];
    comm::platform::LineDevice* line = comm::platform::OpenPlatformLineDevice(3, storage);
    ASSERT_NE(line, nullptr);
    comm::platform::LineState state{};
    ASSERT_TRUE(line->GetState(&state));
    state.BaudRate = 19200;
    state.ByteSize = 8;
    ASSERT_TRUE(line->SetState(state));
    ASSERT_TRUE(line->SetEventMask(comm::platform::kEvRxChar));
    for (std::uint8_t round = 0; round < 3; ++round) {
        std::uint8_t byte = 0;
        std::int32_t got = -1;
        EXPECT_EQ(line->Read(&byte, 1, &got), 0);
        EXPECT_EQ(got, 0);
        ASSERT_TRUE(pty.Send({round}));
        std::uint32_t events = 0;
        ASSERT_TRUE(line->WaitEvent(&events));
        EXPECT_EQ(events, comm::platform::kEvRxChar) << "round " << int{round};
        EXPECT_EQ(line->Read(&byte, 1, &got), 0);
        EXPECT_EQ(got, 1);
        EXPECT_EQ(byte, round);
    }
    line->Close();
    line->Release();
}

}  // namespace
