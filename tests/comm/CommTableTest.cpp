// The port table and the engine's start and stop, on pseudo-terminals.
#include <gtest/gtest.h>

#include "comm/Comm.h"
#include "comm/platform/posix/CustomSpeed.h"
#include "tests/comm/CommTestSupport.h"

using commtest::LineConfig;
using commtest::NoticeRecorder;
using commtest::Pty;

namespace {

class CommTable : public ::testing::Test {
  protected:
    void TearDown() override {
        while (CommStartCount != 0) CommCleanup();
    }
};

TEST_F(CommTable, StartAndStopCountAtMostOnce) {
    EXPECT_EQ(CommStartup(), 0);
    EXPECT_EQ(CommStartup(), 0);
    EXPECT_EQ(CommStartCount, 1);
    EXPECT_EQ(CommCleanup(), 0);
    EXPECT_EQ(CommStartCount, 0);  // the second start did not count
    EXPECT_EQ(CommCleanup(), 0);   // cleanup of a stopped engine changes nothing
    EXPECT_EQ(CommStartCount, 0);

    CommPort* slot = nullptr;
    PortHandle handle = 1234;
    CommPortConfig config = LineConfig(1);
    EXPECT_EQ(CommClose(reinterpret_cast<PortHandle>(&CommPortTable[0])), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(CommFindSlot(&slot, 1), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(CommFreeSlot(1), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(CommSetLine(1, &config), COMM_ERR_NOT_STARTED);
    char byte = 0;
    EXPECT_EQ(CommWrite(1, &byte, 1), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(CommRead(1, &byte, 1), COMM_ERR_NOT_STARTED);
    EXPECT_EQ(CommBytesAvailable(1), COMM_ERR_NOT_STARTED);
}

TEST_F(CommTable, SlotsHandlesAndLookups) {
    ASSERT_EQ(CommStartup(), 0);
    CommPort* slot = nullptr;
    EXPECT_EQ(CommFindSlot(&slot, 0), COMM_ERR_BAD_HANDLE);  // free slots hold 0 but are not found
    EXPECT_EQ(CommHandleAt(0), -1);
    EXPECT_EQ(CommHandleAt(1), -1);
    EXPECT_EQ(CommHandleAt(2), 0);
    EXPECT_EQ(CommHandleAt(0xFFFFFFFF), 0);

    CommPort* first = nullptr;
    CommPort* second = nullptr;
    CommPort* third = nullptr;
    ASSERT_EQ(CommAllocSlot(&first), 0);
    ASSERT_EQ(CommAllocSlot(&second), 0);
    EXPECT_EQ(CommAllocSlot(&third), COMM_ERR_NO_SLOT);
    EXPECT_EQ(first, &CommPortTable[0]);
    EXPECT_EQ(second, &CommPortTable[1]);
    EXPECT_EQ(first->handle, reinterpret_cast<PortHandle>(first));
    EXPECT_NE(first->handle, second->handle);
    EXPECT_EQ(first->lineHandle, COMM_INVALID_LINE);
    EXPECT_EQ(first->rxBuffer, first->rxStorage);
    EXPECT_EQ(first->txBuffer, first->txStorage);
    EXPECT_EQ(first->rxSize, 4096);
    EXPECT_EQ(first->txSize, 4096);
    EXPECT_EQ(CommHandleAt(1), second->handle);

    EXPECT_EQ(CommFindSlot(&slot, second->handle), 0);
    EXPECT_EQ(slot, second);
    EXPECT_EQ(CommFindSlot(&slot, second->handle + 1), COMM_ERR_BAD_HANDLE);

    // Releasing only zeroes the handle; taking the slot again clears it.
    PortHandle old = first->handle;
    first->rxStorage[7] = 0x5A;
    EXPECT_EQ(CommFreeSlot(old), 0);
    EXPECT_EQ(first->handle, 0);
    EXPECT_EQ(first->rxStorage[7], 0x5A);
    EXPECT_EQ(CommFreeSlot(old), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommFindSlot(&slot, old), COMM_ERR_BAD_HANDLE);
    ASSERT_EQ(CommAllocSlot(&third), 0);
    EXPECT_EQ(third, first);
    EXPECT_EQ(third->handle, old);
    EXPECT_EQ(third->rxStorage[7], 0);

    // A stop and a start clear the table: old handles name nothing.
    CommCleanup();
    ASSERT_EQ(CommStartup(), 0);
    EXPECT_EQ(CommFindSlot(&slot, old), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommHandleAt(0), -1);
    EXPECT_EQ(CommHandleAt(1), -1);
}

TEST_F(CommTable, OpenCloseReuseAndCloseAll) {
    Pty one(31);
    Pty two(32);
    Pty three(33);
    ASSERT_TRUE(one.Ok() && two.Ok() && three.Ok());
    NoticeRecorder notices;
    ASSERT_EQ(CommStartup(), 0);

    CommPortConfig config = LineConfig(31);
    PortHandle first = 0;
    ASSERT_EQ(CommOpen(&first, &config), 0);
    EXPECT_EQ(first, reinterpret_cast<PortHandle>(&CommPortTable[0]));
    // The slot keeps the whole record, spare words included.
    EXPECT_EQ(CommPortTable[0].config.spare[2], 5000u);
    EXPECT_EQ(CommPortTable[0].config.baud, 19200u);

    config.port = 32;
    PortHandle second = 0;
    ASSERT_EQ(CommOpen(&second, &config), 0);
    EXPECT_EQ(second, reinterpret_cast<PortHandle>(&CommPortTable[1]));

    config.port = 33;
    PortHandle third = 77;
    EXPECT_EQ(CommOpen(&third, &config), COMM_ERR_NO_SLOT);
    EXPECT_EQ(third, 0);
    EXPECT_EQ(CommHandleAt(0), first);
    EXPECT_EQ(CommHandleAt(1), second);

    // A closed port's slot is taken again with the same handle value.
    EXPECT_EQ(CommClose(first), 0);
    EXPECT_EQ(CommClose(first), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommClose(0), COMM_ERR_BAD_HANDLE);
    PortHandle again = 0;
    ASSERT_EQ(CommOpen(&again, &config), 0);
    EXPECT_EQ(again, first);

    // Close all with only slot 1 in use: slot 0's -1 is passed over.
    EXPECT_EQ(CommClose(again), 0);
    EXPECT_EQ(CommHandleAt(0), -1);
    EXPECT_EQ(CommCloseAll(), 0);
    EXPECT_EQ(CommHandleAt(1), -1);

    // Cleanup closes what is still open.
    ASSERT_EQ(CommOpen(&again, &config), 0);
    EXPECT_EQ(CommCleanup(), 0);
    EXPECT_EQ(CommStartCount, 0);
    ASSERT_EQ(CommStartup(), 0);
    EXPECT_EQ(CommOpen(&again, &config), 0);  // the device was let go of
    EXPECT_EQ(CommClose(again), 0);

    // Closing ports whose threads are idle shows nothing.
    EXPECT_TRUE(notices.Texts().empty());
}

TEST_F(CommTable, FailedOpensLeaveNothingBehind) {
    ASSERT_EQ(CommStartup(), 0);
    Pty pty(34);
    ASSERT_TRUE(pty.Ok());

    // A port number with no device behind it.
    setenv("REFLASHER_COM35", "/nonexistent/tty", 1);
    CommPortConfig config = LineConfig(35);
    PortHandle handle = 0;
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_OPEN_FAILED);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(CommHandleAt(0), -1);
    unsetenv("REFLASHER_COM35");

    // A refused line: the device was opened, then let go of again.
    config = LineConfig(34);
    PortHandle good = 0;
    ASSERT_EQ(CommOpen(&good, &config), 0);
    ASSERT_EQ(CommClose(good), 0);
    handle = good;  // a valid-looking value is overwritten with 0
    config.parity = 6;
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_BAD_PARITY);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(CommHandleAt(0), -1);
    EXPECT_EQ(CommClose(good), COMM_ERR_BAD_HANDLE);
    config.parity = 0;
    config.stopBits = 2;  // one and a half stop bits: termios cannot
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_SETUP_FAILED);
    config.stopBits = 1;
    config.dataBits = 4;
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_SETUP_FAILED);
    config.dataBits = 8;
    ASSERT_EQ(CommOpen(&handle, &config), 0);  // nothing stayed open
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommTable, SecondOpenOfOneDeviceIsRefused) {
    ASSERT_EQ(CommStartup(), 0);
    Pty pty(36);
    ASSERT_TRUE(pty.Ok());
    // COM37 names the same device as COM36.
    setenv("REFLASHER_COM37", pty.SlavePath().c_str(), 1);
    CommPortConfig config = LineConfig(36);
    PortHandle first = 0;
    ASSERT_EQ(CommOpen(&first, &config), 0);
    PortHandle second = 0;
    EXPECT_EQ(CommOpen(&second, &config), COMM_ERR_OPEN_FAILED);
    config.port = 37;
    EXPECT_EQ(CommOpen(&second, &config), COMM_ERR_OPEN_FAILED);
    EXPECT_EQ(second, 0);
    unsetenv("REFLASHER_COM37");

    // The first port is untouched and still carries data.
    const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(CommWrite(first, hello.data(), 5), 0);
    EXPECT_EQ(pty.Receive(5), hello);
    EXPECT_EQ(CommClose(first), 0);
}

}  // namespace

#include <termios.h>

namespace {

TEST_F(CommTable, LineSettingsReachThePseudoTerminalAsRawTermios) {
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
        EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_SETUP_FAILED) << int(bits) << " bits, parity " << int(parity);
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
    config.stopBits = 2;
    EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_SETUP_FAILED);
    config = LineConfig(38, 56000);
    EXPECT_EQ(settingsFor(config, &settings), COMM_ERR_BAD_BAUD);
    ASSERT_EQ(tcgetattr(pty.Master(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B1200));
}

}  // namespace
