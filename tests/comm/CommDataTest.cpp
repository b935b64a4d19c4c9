// Bytes through the engine's rings and threads, on pseudo-terminals.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "comm/CommInternal.h"
#include "tests/comm/CommTestSupport.h"
#include "tests/comm/FakeLine.h"

using commtest::LineConfig;
using commtest::NoticeRecorder;
using commtest::Pattern;
using commtest::Pty;
using commtest::WaitUntil;

namespace {

class CommData : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CommStartup(), 0); }
    void TearDown() override {
        while (CommStartCount != 0) CommCleanup();
    }

    // Reads until `count` bytes came or the time runs out.
    static std::vector<std::uint8_t> ReadAll(PortHandle handle, std::size_t count) {
        std::vector<std::uint8_t> bytes;
        std::uint8_t chunk[1000];
        WaitUntil([&] {
            int got =
                CommRead(handle, chunk,
                         static_cast<std::int32_t>(std::min(sizeof chunk, count - bytes.size())));
            if (got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
            return bytes.size() >= count || got < 0;
        });
        return bytes;
    }
};

TEST_F(CommData, CallsCheckTheirArguments) {
    Pty pty(41);
    ASSERT_TRUE(pty.Ok());
    CommPortConfig config = LineConfig(41);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    std::uint8_t byte = 0;
    EXPECT_EQ(CommWrite(handle, &byte, -1), COMM_ERR_BAD_LENGTH);
    EXPECT_EQ(CommRead(handle, &byte, -1), COMM_ERR_BAD_LENGTH);
    EXPECT_EQ(CommWrite(handle, &byte, 0), 0);
    EXPECT_EQ(CommRead(handle, &byte, 0), 0);
    EXPECT_EQ(CommRead(handle, &byte, 1), 0);  // empty ring
    EXPECT_EQ(CommBytesAvailable(handle), 0);
    EXPECT_EQ(CommWrite(0, &byte, 1), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommRead(handle + 1, &byte, 1), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommBytesAvailable(0), COMM_ERR_BAD_HANDLE);
    // A thread procedure whose lookup fails ends at once with the lookup's code.
    EXPECT_EQ(CommReaderThread(0), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommWriterThread(handle + 8), COMM_ERR_BAD_HANDLE);
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommData, BytesAreCountedAndReadInOrder) {
    Pty pty(42);
    ASSERT_TRUE(pty.Ok());
    CommPortConfig config = LineConfig(42);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);

    // Fill the receive ring: it holds 4095 bytes, the reader keeps the rest back in the driver.
    std::vector<std::uint8_t> sent = Pattern(5000, 1);
    ASSERT_TRUE(pty.Send(sent));
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 4095; }));
    std::vector<std::uint8_t> first(4095);
    EXPECT_EQ(CommRead(handle, first.data(), 4095), 4095);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), sent.begin()));

    // The rest arrives once there is room; a read asking for more returns what is there.
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 905; }));
    std::vector<std::uint8_t> rest(2000);
    EXPECT_EQ(CommRead(handle, rest.data(), 2000), 905);
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 905, sent.begin() + 4095));
    EXPECT_EQ(CommBytesAvailable(handle), 0);

    // Positions past the end of the storage wrap; counts and order survive.
    for (std::uint32_t round = 0; round < 4; ++round) {
        std::vector<std::uint8_t> block = Pattern(3001, round + 10);
        ASSERT_TRUE(pty.Send(block));
        ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 3001; }));
        int available = CommBytesAvailable(handle);
        std::vector<std::uint8_t> got(static_cast<std::size_t>(available));
        EXPECT_EQ(CommRead(handle, got.data(), available), available);
        EXPECT_EQ(got, block);
    }

    // Written bytes reach the line in order.
    std::vector<std::uint8_t> out = Pattern(3000, 2);
    EXPECT_EQ(CommWrite(handle, out.data(), 3000), 0);
    EXPECT_EQ(pty.Receive(3000), out);
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommData, LargeTransferBothWaysArrivesIntactAndInOrder) {
    Pty pty(43);
    ASSERT_TRUE(pty.Ok());
    NoticeRecorder notices;
    CommPortConfig config = LineConfig(43, 115200);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);

    constexpr std::size_t kSize = 256 * 1024;
    const std::vector<std::uint8_t> inbound = Pattern(kSize, 3);
    const std::vector<std::uint8_t> outbound = Pattern(kSize, 4);
    std::vector<std::uint8_t> atMaster;
    bool sent = false;
    std::thread master([&] {
        sent = pty.Send(inbound);
        atMaster = pty.Receive(kSize);
    });

    // The engine's caller: queue what fits, take what came, until both directions are done. It
    // also changes the line settings now and then while both threads are busy.
    std::vector<std::uint8_t> received;
    std::size_t queued = 0;
    std::uint8_t chunk[1500];
    int turns = 0;
    WaitUntil(
        [&] {
            if (++turns % 16 == 0) {
                CommPortConfig other = LineConfig(43, turns % 32 == 0 ? 115200 : 57600);
                EXPECT_EQ(CommSetLine(handle, &other), 0);
            }
            if (queued < kSize) {
                auto length =
                    static_cast<std::int32_t>(std::min<std::size_t>(1000, kSize - queued));
                int left = CommWrite(handle, outbound.data() + queued, length);
                if (left >= 0) queued += static_cast<std::size_t>(length - left);
            }
            int got = CommRead(handle, chunk, sizeof chunk);
            if (got > 0) received.insert(received.end(), chunk, chunk + got);
            return queued == kSize && received.size() >= kSize;
        },
        std::chrono::seconds(120));
    master.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(received.size(), kSize);
    EXPECT_TRUE(received == inbound);
    EXPECT_EQ(atMaster.size(), kSize);
    EXPECT_TRUE(atMaster == outbound);
    EXPECT_EQ(CommClose(handle), 0);
    EXPECT_TRUE(notices.Texts().empty());
}

}  // namespace

namespace {

TEST_F(CommData, UnpluggedLineMakesNeitherThreadSpin) {
    Pty pty(44);
    ASSERT_TRUE(pty.Ok());
    NoticeRecorder notices;
    std::atomic<commtest::CountingLine*> made{nullptr};
    commtest::UseCountingLine use(&made);
    CommPortConfig config = LineConfig(44);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    commtest::CountingLine* line = made.load();
    ASSERT_NE(line, nullptr);
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 3; }));

    // The other end goes away, as when a USB adapter is pulled out.
    pty.CloseMaster();
    std::uint8_t bytes[10] = {};
    EXPECT_EQ(CommWrite(handle, bytes, 10), 0);
    ASSERT_TRUE(WaitUntil([] { return std::atomic_ref(CommPortTable[0].writerDone).load() == 1; }));
#ifdef _WIN32
    // Wine reports ERROR_BROKEN_PIPE or ERROR_NOT_READY, a USB adapter other codes.
    EXPECT_NE(std::atomic_ref(CommPortTable[0].config.lastError).load(), 0);
#else
    EXPECT_EQ(std::atomic_ref(CommPortTable[0].config.lastError).load(), EIO);
#endif

    // Watch the reader for a while: it must pause between looks at the dead line. A spinning
    // thread comes round thousands of times in this window; a loaded machine only lowers counts.
    int waits = line->waits.load();
    int reads = line->reads.load();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    auto window = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
    EXPECT_LE(line->waits.load() - waits, window / 50 + 5) << "waits";
    EXPECT_LE(line->reads.load() - reads, window / 50 + 5);
    EXPECT_EQ(std::atomic_ref(CommPortTable[0].readerDone).load(), 0);  // the port stays open
    EXPECT_EQ(CommBytesAvailable(handle), 3);

    EXPECT_EQ(CommClose(handle), 0);
    EXPECT_TRUE(WaitUntil([&] { return line->released.load(); }));
    EXPECT_TRUE(notices.Texts().empty());
    delete line;
}

}  // namespace

namespace {

TEST_F(CommData, CloseIsPromptWhileTheWriterWaitsForALineThatDoesNotDrain) {
    Pty pty(45);
    ASSERT_TRUE(pty.Ok());
    NoticeRecorder notices;
    CommPortConfig config = LineConfig(45);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    // Nobody reads the far end: the driver's buffer fills, then the transmit ring.
    const std::vector<std::uint8_t> block = Pattern(4000, 5);
    ASSERT_TRUE(WaitUntil([&] {
        int left = CommWrite(handle, block.data(), 4000);
        return left == 4000;
    }));
    // The writer sits in a write that could take seconds; closing must not wait for it.
    EXPECT_EQ(std::atomic_ref(CommPortTable[0].writerDone).load(), 0)
        << "the writer ended with error "
        << std::atomic_ref(CommPortTable[0].config.lastError).load();
    EXPECT_EQ(CommClose(handle), 0);
    EXPECT_TRUE(notices.Texts().empty());
}

}  // namespace
