// What only the Windows line device shows, on a COM port that Wine maps to a pseudo-terminal:
// reads take only what waits (Wine 8 would hold a read of an empty line), each road to a line
// event (WaitCommEvent with the modem-line shim, the input count without it) ends its waits on
// a change of mask, on CancelWaits and on Close, and writes complete at once or after a wait.
// And the port listing: Wine registers every COM port it maps, each probed as CommOpen opens it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "comm/CommInternal.h"
#include "comm/PortList.h"
#include "comm/platform/LineDevice.h"
#include "tests/comm/CommTestSupport.h"

using comm::platform::kEvRlsd;
using comm::platform::kEvRxChar;
using comm::platform::LineDevice;
using commtest::Pattern;
using commtest::Pty;
using commtest::WaitUntil;

namespace {

constexpr std::int32_t kPort = 39;

struct Storage {
    alignas(std::max_align_t) unsigned char bytes[comm::platform::kLineDeviceStorageSize];
};

// Opens COM kPort as the engine would: 19200 8N1, reads that return at once, writes bounded.
LineDevice* OpenLine(Storage& storage) {
    LineDevice* line = comm::platform::OpenPlatformLineDevice(kPort, storage.bytes);
    if (line == nullptr) return nullptr;
    comm::platform::LineState state{};
    state.DCBlength = sizeof state;
    EXPECT_TRUE(line->GetState(&state));
    state.BaudRate = 19200;
    state.ByteSize = 8;
    state.Parity = comm::platform::kNoParity;
    state.StopBits = comm::platform::kOneStopBit;
    EXPECT_TRUE(line->SetState(state));
    EXPECT_TRUE(line->SetTimeouts({comm::platform::kMaxDword, 0, 0, 10, 1000}));
    return line;
}

// Runs one WaitEvent on a thread of its own.
class PendingWait {
  public:
    explicit PendingWait(LineDevice* line)
        : thread_([this, line] {
              std::uint32_t events = 0xFFFF;
              waited_ = line->WaitEvent(&events);
              events_ = events;
              done_ = true;
          }) {}
    ~PendingWait() { thread_.join(); }
    bool Done() const { return done_; }
    std::uint32_t Events() const { return events_; }

  private:
    std::atomic<bool> done_{false};
    std::atomic<bool> waited_{false};
    std::atomic<std::uint32_t> events_{0};
    std::thread thread_;
};

TEST(CommWin32Line, ReadsOnlyWhatWaitsAndEveryWaitEnds) {
    Pty pty(kPort);
    ASSERT_TRUE(pty.Ok());
    Storage storage;
    LineDevice* line = OpenLine(storage);
    ASSERT_NE(line, nullptr);

    // The road this run takes: the harness says whether Wine can read the modem lines.
    std::uint32_t modem = 0;
    if (winetest::ModemShim() >= 0) {
        EXPECT_EQ(line->GetModemStatus(&modem), winetest::ModemShim() == 1);
    }

    ASSERT_TRUE(line->SetEventMask(kEvRxChar | kEvRlsd));
    for (std::uint8_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::uint8_t byte = 0xEE;
        std::int32_t got = -1;
        EXPECT_EQ(line->Read(&byte, 1, &got), 0);  // nothing waits: no read that hangs
        EXPECT_EQ(got, 0);
        ASSERT_TRUE(pty.Send({round, static_cast<std::uint8_t>(round + 1)}));
        std::uint32_t events = 0;
        ASSERT_TRUE(line->WaitEvent(&events));
        EXPECT_EQ(events, kEvRxChar);
        ASSERT_TRUE(line->SetEventMask(kEvRxChar));
        // Both bytes, though the wait may have ended on the first.
        std::uint8_t bytes[4] = {};
        std::int32_t total = 0;
        ASSERT_TRUE(WaitUntil([&] {
            std::int32_t more = 0;
            EXPECT_EQ(line->Read(bytes + total, 4 - total, &more), 0);
            total += more;
            return total >= 2;
        }));
        EXPECT_EQ(total, 2);
        EXPECT_EQ(bytes[0], round);
        EXPECT_EQ(bytes[1], round + 1);
    }

    // A change of mask ends a wait on a quiet line, with no events. The change is repeated
    // until the wait has ended, since one made before the wait began does not count.
    {
        PendingWait wait(line);
        EXPECT_FALSE(WaitUntil([&] { return wait.Done(); }, std::chrono::milliseconds(200)));
        EXPECT_TRUE(WaitUntil([&] {
            line->SetEventMask(kEvRxChar);
            return wait.Done();
        }));
        EXPECT_EQ(wait.Events(), 0u);
    }

    // Writes: a short one completes at once; one larger than the line holds waits until the far
    // end reads, and every byte arrives in order.
    std::int32_t written = -1;
    const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(line->Write(hello.data(), 5, &written), 0);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(pty.Receive(5), hello);
    const std::vector<std::uint8_t> bulk = Pattern(200000, 7);
    std::atomic<int> bulkResult{-1};
    std::atomic<std::int32_t> bulkWritten{0};
    std::thread writer([&] {
        std::int32_t count = 0;
        bulkResult = line->Write(bulk.data(), static_cast<std::int32_t>(bulk.size()), &count);
        bulkWritten = count;
    });
    EXPECT_EQ(pty.Receive(bulk.size()), bulk);
    writer.join();
    EXPECT_EQ(bulkResult.load(), 0);
    EXPECT_EQ(bulkWritten.load(), static_cast<std::int32_t>(bulk.size()));

    // A write that the time-outs cut short is no failure: what went out counts, and the rest
    // goes in the next write once the far end reads.
    ASSERT_TRUE(line->SetTimeouts({comm::platform::kMaxDword, 0, 0, 0, 300}));
    std::int32_t part = -1;
    EXPECT_EQ(line->Write(bulk.data(), static_cast<std::int32_t>(bulk.size()), &part), 0);
    EXPECT_GT(part, 0);
    EXPECT_LT(part, static_cast<std::int32_t>(bulk.size()));
    std::thread rest([&] {
        std::int32_t count = 0;
        bulkResult =
            line->Write(bulk.data() + part, static_cast<std::int32_t>(bulk.size()) - part, &count);
        bulkWritten = count;
    });
    const std::vector<std::uint8_t> whole = pty.Receive(bulk.size());
    rest.join();
    EXPECT_EQ(bulkResult.load(), 0);
    EXPECT_EQ(part + bulkWritten.load(), static_cast<std::int32_t>(bulk.size()));
    EXPECT_TRUE(whole == bulk);
    ASSERT_TRUE(line->SetTimeouts({comm::platform::kMaxDword, 0, 0, 10, 1000}));

    // Close ends a pending wait and lets go of the port at once, before the device is released.
    {
        PendingWait wait(line);
        EXPECT_FALSE(WaitUntil([&] { return wait.Done(); }, std::chrono::milliseconds(200)));
        line->Close();
        EXPECT_TRUE(WaitUntil([&] { return wait.Done(); }));
        Storage again;
        LineDevice* reopened = comm::platform::OpenPlatformLineDevice(kPort, again.bytes);
        EXPECT_NE(reopened, nullptr);
        if (reopened != nullptr) {
            // CancelWaits ends this one's waits for good.
            reopened->CancelWaits();
            std::uint32_t events = 0xFFFF;
            EXPECT_TRUE(reopened->WaitEvent(&events));
            EXPECT_EQ(events, 0u);
            reopened->Close();
            reopened->Release();
        }
    }
    line->Release();
}

// A port with a line behind it can be opened until a CommOpen holds it (Wine lets a second
// CreateFile through; the port's claim tells), and again once the claim is let go; a port whose
// line is gone cannot be.
TEST(CommWin32Line, PortListingFindsTheMappedPortsInTheirState) {
    constexpr std::int32_t kListed = 40, kMissing = 41;
    Pty pty(kListed);
    ASSERT_TRUE(pty.Ok());
    ASSERT_TRUE(winetest::MakePortMissing(kMissing));
    const auto listed = [](std::int32_t com) {
        const std::vector<SerialPortEntry> entries = ListSerialPorts();
        EXPECT_TRUE(
            std::is_sorted(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                return a.com != 0 && (b.com == 0 || a.com < b.com);
            }));
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [com](const auto& e) { return e.com == com; });
        return it == entries.end() ? SerialPortEntry{} : *it;
    };
    SerialPortEntry entry = listed(kListed);
    EXPECT_EQ(entry.device, "\\\\.\\COM40");
    EXPECT_EQ(entry.comSource, "registry");
    EXPECT_TRUE(entry.openable) << entry.why;
    const SerialPortEntry missing = listed(kMissing);
    EXPECT_EQ(missing.device, "\\\\.\\COM41");
    EXPECT_FALSE(missing.openable);
    EXPECT_NE(missing.why, "");

    ASSERT_EQ(CommStartup(), 0);
    PortHandle handle = 0;
    const CommPortConfig config = commtest::LineConfig(kListed);
    ASSERT_EQ(CommOpen(&handle, &config), 0) << CommOpenFailure();
    entry = listed(kListed);
    EXPECT_FALSE(entry.openable);
    EXPECT_EQ(entry.why, "in use by another program");
    EXPECT_EQ(CommClose(handle), 0);
    CommReleasePort(kListed);
    EXPECT_TRUE(listed(kListed).openable);
    while (CommStartCount != 0) CommCleanup();
}

}  // namespace
