// The port table and the engine's start and stop, on pseudo-terminals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/CommInternal.h"
#include "comm/platform/LineDevice.h"
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
    {
        commtest::MissingPort missing;
        CommPortConfig config = LineConfig(missing.Number());
        PortHandle handle = 0;
        EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_OPEN_FAILED);
        EXPECT_EQ(handle, 0);
        EXPECT_EQ(CommHandleAt(0), -1);
        // The operator is told which device and, in the system's words, why.
        char device[128];
        comm::platform::PortDeviceName(missing.Number(), device, sizeof device);
        const std::string failure = CommOpenFailure();
        EXPECT_EQ(failure.rfind(std::string(device) + ": ", 0), 0u) << failure;
        EXPECT_GT(failure.size(), std::strlen(device) + 2) << failure;
    }

    // A refused line: the device was opened, then let go of again.
    CommPortConfig config = LineConfig(34);
    PortHandle handle = 0;
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
    ASSERT_EQ(CommOpen(&handle, &config), 0);  // nothing stayed open
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommTable, SecondOpenOfOneDeviceIsRefused) {
    if (const char* why = commtest::SecondOpenNotRefusedBecause()) GTEST_SKIP() << why;
    ASSERT_EQ(CommStartup(), 0);
    Pty pty(36);
    ASSERT_TRUE(pty.Ok());
    CommPortConfig config = LineConfig(36);
    PortHandle first = 0;
    ASSERT_EQ(CommOpen(&first, &config), 0);
    PortHandle second = 0;
    EXPECT_EQ(CommOpen(&second, &config), COMM_ERR_OPEN_FAILED);
#ifndef _WIN32
    // COM37 names the same device as COM36.
    setenv("REFLASHER_COM37", pty.SlavePath().c_str(), 1);
    config.port = 37;
    EXPECT_EQ(CommOpen(&second, &config), COMM_ERR_OPEN_FAILED);
    unsetenv("REFLASHER_COM37");
#endif
    EXPECT_EQ(second, 0);

    // The first port is untouched and still carries data.
    const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(CommWrite(first, hello.data(), 5), 0);
    EXPECT_EQ(pty.Receive(5), hello);
    EXPECT_EQ(CommClose(first), 0);
}

}  // namespace
