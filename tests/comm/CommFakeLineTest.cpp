// What only a controllable line device can show: line-state mapping, modem-line handshake,
// failing transfers, line events, and threads that hang while their port is closed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "comm/CommInternal.h"
#include "comm/CommContext.h"
#include "tests/comm/CommTestSupport.h"
#include "tests/comm/FakeLine.h"

using comm::platform::kBaudUser;
using comm::platform::kEvRlsd;
using comm::platform::kEvRxChar;
using comm::platform::kMsCtsOn;
using comm::platform::kMsDsrOn;
using commtest::FakeLine;
using commtest::LineConfig;
using commtest::NoticeRecorder;
using commtest::Pattern;
using commtest::UseFakeLine;
using commtest::WaitUntil;

namespace {

std::uint32_t FlagWord(const comm::platform::LineState& state) {
    std::uint32_t word;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&state) + 8, sizeof word);
    return word;
}

std::int32_t Shared(std::int32_t& field) {
    return std::atomic_ref(field).load();
}

class CommFakeLine : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CommStartup(), 0); }
    void TearDown() override {
        while (CommStartCount != 0) CommCleanup();
    }
};

TEST_F(CommFakeLine, LineSettingsAreValidatedInOrderAndMappedToTheLineState) {
    FakeLine line;
    line.reported.fDummy2 = 0x1ABCD;
    line.reported.XonChar = 0x11;
    line.reported.XoffChar = 0x13;
    line.reported.XonLim = 7;
    line.reported.EvtChar = 'e';
    line.reported.fErrorChar = 1;
    line.reported.fNull = 1;
    line.reported.fAbortOnError = 1;
    line.reported.fOutX = 1;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);

    ASSERT_EQ(line.statesSet.size(), 1u);
    comm::platform::LineState state = line.statesSet.back();
    EXPECT_EQ(state.DCBlength, 28u);
    EXPECT_EQ(state.BaudRate, 19200u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.Parity, comm::platform::kNoParity);
    EXPECT_EQ(state.StopBits, comm::platform::kOneStopBit);
    // fBinary, fParity, DTR enable, fTXContinueOnXoff, RTS enable; the spare bits as reported.
    EXPECT_EQ(FlagWord(state), 0x1093u | (0x1ABCDu << 15));
    EXPECT_EQ(state.XonChar, 0x11);
    EXPECT_EQ(state.XoffChar, 0x13);
    EXPECT_EQ(state.XonLim, 7);
    EXPECT_EQ(state.EvtChar, 'e');
    EXPECT_EQ(line.timeoutsSet.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(line.timeoutsSet.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(line.timeoutsSet.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(line.timeoutsSet.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(line.timeoutsSet.WriteTotalTimeoutConstant, 1000u);

    // Applies `change` to a fresh copy of the configuration; returns the result and the state.
    auto apply = [&](auto change, comm::platform::LineState* applied = nullptr) {
        CommPortConfig changed = LineConfig(1);
        change(changed);
        std::size_t before = line.statesSet.size();
        int result = CommSetLine(handle, &changed);
        // A refused configuration writes nothing to the device.
        EXPECT_EQ(line.statesSet.size(), before + (result == 0 ? 1 : 0));
        if (applied != nullptr && result == 0) *applied = line.statesSet.back();
        return result;
    };
    comm::platform::LineState got{};
    EXPECT_EQ(apply([](CommPortConfig& c) { c.baud = 0; }, &got), 0);
    EXPECT_EQ(got.BaudRate, 9600u);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.baud = 14400; }, &got), 0);
    EXPECT_EQ(got.BaudRate, 14400u);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.baud = 110; }), COMM_ERR_BAD_BAUD);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.baud = 56000; }), COMM_ERR_BAD_BAUD);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dataBits = 0; }, &got), 0);
    EXPECT_EQ(got.ByteSize, 8);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dataBits = 4; }, &got), 0);
    EXPECT_EQ(got.ByteSize, 4);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dataBits = 3; }), COMM_ERR_BAD_BAUD);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dataBits = 9; }), COMM_ERR_BAD_BAUD);
    const std::uint8_t parities[] = {0, 0, 1, 2, 3, 4};
    for (std::uint8_t code = 0; code <= 5; ++code) {
        EXPECT_EQ(apply([&](CommPortConfig& c) { c.parity = code; }, &got), 0);
        EXPECT_EQ(got.Parity, parities[code]) << "parity code " << int(code);
    }
    EXPECT_EQ(apply([](CommPortConfig& c) { c.parity = 6; }), COMM_ERR_BAD_PARITY);
    const std::uint8_t stops[] = {0, 0, 1, 2};
    for (std::uint8_t code = 0; code <= 3; ++code) {
        EXPECT_EQ(apply([&](CommPortConfig& c) { c.stopBits = code; }, &got), 0);
        EXPECT_EQ(got.StopBits, stops[code]) << "stop-bits code " << int(code);
    }
    EXPECT_EQ(apply([](CommPortConfig& c) { c.stopBits = 4; }), COMM_ERR_BAD_STOPBITS);
    // Several bad fields: the first in the order speed, data bits, parity, stop bits.
    EXPECT_EQ(apply([](CommPortConfig& c) { c.baud = 110, c.parity = 9; }), COMM_ERR_BAD_BAUD);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dataBits = 3, c.stopBits = 9; }), COMM_ERR_BAD_BAUD);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.parity = 7, c.stopBits = 7; }), COMM_ERR_BAD_PARITY);

    // Handshake flags are on only when 1.
    EXPECT_EQ(apply([](CommPortConfig& c) { c.xonXoff = 1, c.ctsHandshake = 1; }, &got), 0);
    EXPECT_EQ(FlagWord(got) & 0x3FFFu, 0x1093u | 0x4 | 0x100 | 0x200);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.xonXoff = 2, c.ctsHandshake = 2; }, &got), 0);
    EXPECT_EQ(FlagWord(got) & 0x3FFFu, 0x1093u);
    EXPECT_EQ(apply([](CommPortConfig& c) { c.dsrHandshake = 1; }, &got), 0);
    EXPECT_EQ(FlagWord(got) & 0x3FFFu, 0x1093u | 0x8 | 0x40);

    // The slot keeps a configuration only once the device has accepted it.
    CommPortConfig accepted = LineConfig(1, 9600);
    ASSERT_EQ(CommSetLine(handle, &accepted), 0);
    line.refuseState = true;
    CommPortConfig refused = LineConfig(1, 300);
    EXPECT_EQ(CommSetLine(handle, &refused), COMM_ERR_SETUP_FAILED);
    EXPECT_EQ(CommPortTable[0].config.baud, 9600u);
    line.refuseState = false;
    line.refuseTimeouts = true;
    EXPECT_EQ(CommSetLine(handle, &refused), COMM_ERR_SETUP_FAILED);
    line.refuseTimeouts = false;

    // A driver that takes a state but drops mark and space parity: the line does not hold what
    // was asked, so the port refuses it and the line gets back what it had.
    ASSERT_EQ(CommSetLine(handle, &accepted), 0);
    line.drops = [](comm::platform::LineState& s) {
        if (s.Parity >= comm::platform::kMarkParity) s.Parity = comm::platform::kNoParity;
    };
    CommPortConfig mark = LineConfig(1, 300);
    mark.parity = 4;
    EXPECT_EQ(CommSetLine(handle, &mark), COMM_ERR_SETUP_FAILED);
    EXPECT_EQ(line.statesSet.back().BaudRate, 9600u);
    EXPECT_EQ(line.reported.BaudRate, 9600u);
    EXPECT_EQ(CommPortTable[0].config.baud, 9600u);
    mark.parity = 3;  // even parity it keeps
    EXPECT_EQ(CommSetLine(handle, &mark), 0);
    EXPECT_EQ(CommPortTable[0].config.parity, 3);

    // A driver that reports flags of its own and rounds speeds: a custom speed is taken within 3 %,
    // a standard one only exactly.
    line.settableBaud = kBaudUser;
    line.drops = [](comm::platform::LineState& s) {
        s.fDtrControl = 0, s.fRtsControl = 0, s.fTXContinueOnXoff = 0, s.fBinary = 0, s.XonLim = 99;
        if (s.BaudRate == 250000) s.BaudRate = 250600;
        if (s.BaudRate == 100000) s.BaudRate = 96000;
        if (s.BaudRate == 19200) s.BaudRate = 19231;
    };
    for (auto [speed, result] : {std::pair{250000u, 0},
                                 {100000u, int(COMM_ERR_SETUP_FAILED)},
                                 {19200u, int(COMM_ERR_SETUP_FAILED)}}) {
        CommPortConfig asked = LineConfig(1, speed);
        EXPECT_EQ(CommSetLine(handle, &asked), result) << speed;
    }
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommFakeLine, FreeSpeedSettingAndUnreadableStateAndRefusedOpen) {
    FakeLine line;
    line.settableBaud = kBaudUser;
    line.stateReadable = false;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1, 0);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    ASSERT_EQ(line.statesSet.size(), 1u);
    EXPECT_EQ(line.statesSet[0].BaudRate, 0u);  // untouched on a device with a free speed
    EXPECT_EQ(line.statesSet[0].XonChar, 0);    // built on an all-zero record
    EXPECT_EQ(line.statesSet[0].fDummy2, 0u);
    config.baud = 56000;
    EXPECT_EQ(CommSetLine(handle, &config), 0);
    EXPECT_EQ(line.statesSet.back().BaudRate, 56000u);
    EXPECT_EQ(CommClose(handle), 0);
    EXPECT_TRUE(line.WaitFor([](FakeLine& l) { return l.released_; }));

    // Refused at each stage of opening: the slot is free again and the device let go of.
    config.baud = 19200;
    FakeLine refusing;
    UseFakeLine::Next(&refusing);
    refusing.refuseState = true;
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_SETUP_FAILED);
    EXPECT_EQ(handle, 0);
    EXPECT_TRUE(refusing.Get(&FakeLine::closed_));
    EXPECT_TRUE(refusing.Get(&FakeLine::released_));
    FakeLine noTimeouts;
    noTimeouts.refuseTimeouts = true;
    UseFakeLine::Next(&noTimeouts);
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_SETUP_FAILED);
    EXPECT_TRUE(noTimeouts.Get(&FakeLine::released_));
    UseFakeLine::Next(nullptr);
    EXPECT_EQ(CommOpen(&handle, &config), COMM_ERR_OPEN_FAILED);
    EXPECT_EQ(CommHandleAt(0), -1);
    // The first port's last thread lets its line go just before it gives its context back.
    EXPECT_TRUE(WaitUntil([] { return CommContextsInUse() == 0; }));
}

TEST_F(CommFakeLine, HandshakeHoldsBytesBackThenSendsOneAtATime) {
    FakeLine line;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1);
    config.ctsHandshake = 1;
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);

    // Nothing goes out while CTS or DSR is off; the ring takes 4095 bytes.
    const std::vector<std::uint8_t> data = Pattern(5000, 7);
    EXPECT_EQ(CommWrite(handle, data.data(), 5000), 905);
    EXPECT_EQ(CommWrite(handle, data.data(), 10), 10);  // a full ring takes nothing
    int polls = line.Get(&FakeLine::modemPolls_);
    ASSERT_TRUE(line.WaitFor([&](FakeLine& l) { return l.modemPolls_ >= polls + 3; }));
    line.SetModem(kMsCtsOn);
    polls = line.Get(&FakeLine::modemPolls_);
    ASSERT_TRUE(line.WaitFor([&](FakeLine& l) { return l.modemPolls_ >= polls + 3; }));
    line.SetModem(kMsCtsOn | kMsDsrOn, false);  // lines that cannot be read count as off
    polls = line.Get(&FakeLine::modemPolls_);
    ASSERT_TRUE(line.WaitFor([&](FakeLine& l) { return l.modemPolls_ >= polls + 3; }));
    EXPECT_EQ(line.Get(&FakeLine::writeCalls_), 0);

    line.SetModem(kMsCtsOn | kMsDsrOn);
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.sent_.size() == 4095; }));
    std::vector<std::int32_t> sizes = line.Get(&FakeLine::writeSizes_);
    EXPECT_EQ(sizes, std::vector<std::int32_t>(4095, 1));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4095, line.Get(&FakeLine::sent_).begin()));
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommFakeLine, SoftwareFlowControlSendsByteByByteEvenWhenNotOneForTheLine) {
    FakeLine line;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1);
    config.xonXoff = 2;
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    EXPECT_EQ(line.statesSet.back().fOutX, 0u);
    const std::vector<std::uint8_t> data = Pattern(300, 8);
    EXPECT_EQ(CommWrite(handle, data.data(), 300), 0);
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.sent_.size() == 300; }));
    EXPECT_EQ(line.Get(&FakeLine::sent_), data);
    EXPECT_EQ(line.Get(&FakeLine::writeSizes_), std::vector<std::int32_t>(300, 1));
    EXPECT_EQ(line.Get(&FakeLine::modemPolls_), 0);  // no modem-line check without CTS handshake
    EXPECT_EQ(CommClose(handle), 0);
}

TEST_F(CommFakeLine, WriteErrorEndsOnlyTheWriter) {
    NoticeRecorder notices;
    FakeLine line;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    line.FailWrites(EIO);
    std::uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(CommWrite(handle, bytes, 10), 0);
    ASSERT_TRUE(WaitUntil([] { return Shared(CommPortTable[0].writerDone) == 1; }));
    EXPECT_EQ(Shared(CommPortTable[0].config.lastError), EIO);
    EXPECT_EQ(line.Get(&FakeLine::writeCalls_), 1);

    // The port stays open: bytes are still queued, and the reader still delivers.
    EXPECT_EQ(CommWrite(handle, bytes, 10), 0);
    line.Receive({9, 8, 7});
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 3; }));
    std::uint8_t got[3] = {};
    EXPECT_EQ(CommRead(handle, got, 3), 3);
    EXPECT_EQ(got[0], 9);
    EXPECT_EQ(Shared(CommPortTable[0].readerDone), 0);
    EXPECT_EQ(CommClose(handle), 0);
    EXPECT_EQ(line.Get(&FakeLine::writeCalls_), 1);  // nothing more reached the line
    EXPECT_TRUE(notices.Texts().empty());
}

TEST_F(CommFakeLine, LineEventsAndReadErrors) {
    FakeLine line;
    UseFakeLine use(&line);
    CommPortConfig config = LineConfig(1);
    PortHandle handle = 0;
    ASSERT_EQ(CommOpen(&handle, &config), 0);
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.waits_ == 1; }));

    // A carrier change as the first event: no read, and only characters are waited for then.
    line.Signal(kEvRlsd);
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.waits_ == 2; }));
    EXPECT_EQ(line.Get(&FakeLine::reads_), 0);
    EXPECT_EQ(line.Get(&FakeLine::masks_),
              (std::vector<std::uint32_t>{kEvRxChar | kEvRlsd, kEvRxChar}));
    line.Signal(kEvRlsd);  // no longer in the mask
    line.Receive({1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 3; }));

    // A failed read ends the burst; the next received character starts a new one.
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.waits_ == 3; }));
    line.FailNextRead(EIO);
    line.Receive({4, 5});
    ASSERT_TRUE(WaitUntil([] { return Shared(CommPortTable[0].config.lastError) == EIO; }));
    ASSERT_TRUE(line.WaitFor([](FakeLine& l) { return l.waits_ == 4; }));
    EXPECT_EQ(CommBytesAvailable(handle), 3);
    line.Receive({6});
    ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 6; }));
    std::uint8_t got[6] = {};
    EXPECT_EQ(CommRead(handle, got, 6), 6);
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + 6),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Shared(CommPortTable[0].readerDone), 0);
    EXPECT_EQ(CommClose(handle), 0);
}

// A thread that hangs while its port is closed must leave the reused slot alone.
TEST_F(CommFakeLine, ThreadGivenUpOnNeverTouchesTheReusedSlot) {
    enum class Hang { InWait, InRead, InWrite };
    for (Hang where : {Hang::InWait, Hang::InRead, Hang::InWrite}) {
        SCOPED_TRACE(static_cast<int>(where));
        NoticeRecorder notices;
        FakeLine hung;
        UseFakeLine use(&hung);
        auto hang = [&](bool on) {
            if (where == Hang::InWait) hung.HangWaits(on);
            if (where == Hang::InRead) hung.HangReads(on);
            if (where == Hang::InWrite) hung.HangWrites(on);
        };
        CommPortConfig config = LineConfig(1);
        PortHandle handle = 0;
        hang(true);
        ASSERT_EQ(CommOpen(&handle, &config), 0);
        hung.Receive(Pattern(100, 9));
        const std::vector<std::uint8_t> out = Pattern(50, 10);
        if (where == Hang::InWrite) {
            EXPECT_EQ(CommWrite(handle, out.data(), 50), 0);
        }
        ASSERT_TRUE(hung.WaitFor(
            [&](FakeLine& l) { return l.hungWaits_ + l.hungReads_ + l.hungWrites_ == 1; }));
        if (where == Hang::InWrite) {
            ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(handle) == 100; }));
        }

        EXPECT_EQ(CommClose(handle), 0);
        std::vector<std::string> expected;
        if (where == Hang::InWrite) {
            expected = {"Comms Error|Write thread event timeout!",
                        "Comms Error|Write thread not terminated!"};
        } else {
            std::string state = where == Hang::InRead ? "8" : "2";
            expected = {"Comms Error|Read thread event timeout!\n\nCurrent thread state = " + state,
                        "Comms Error|Read thread not terminated!"};
        }
        EXPECT_EQ(notices.Texts(), expected);
        EXPECT_TRUE(hung.Get(&FakeLine::closed_));
        EXPECT_FALSE(hung.Get(&FakeLine::released_));  // the hung thread still holds it

        // The slot is taken again at once, with the same handle.
        FakeLine fresh;
        UseFakeLine::Next(&fresh);
        PortHandle again = 0;
        ASSERT_EQ(CommOpen(&again, &config), 0);
        EXPECT_EQ(again, handle);
        const std::vector<std::uint8_t> queued = Pattern(10, 11);
        fresh.HangWrites(true);  // keep the new port's transmit ring as it is
        EXPECT_EQ(CommWrite(again, queued.data(), 10), 0);
        ASSERT_TRUE(fresh.WaitFor([](FakeLine& l) { return l.hungWrites_ == 1; }));

        // The old thread wakes with its transfer done and leaves without touching the slot.
        hang(false);
        ASSERT_TRUE(hung.WaitFor([](FakeLine& l) { return l.released_; }));
        EXPECT_EQ(CommBytesAvailable(again), 0);
        EXPECT_EQ(Shared(CommPortTable[0].rxWrite), 0);
        EXPECT_EQ(Shared(CommPortTable[0].txRead), 0);
        EXPECT_EQ(Shared(CommPortTable[0].readerDone), 0);
        EXPECT_EQ(Shared(CommPortTable[0].writerDone), 0);

        // The new port works as usual.
        fresh.HangWrites(false);
        ASSERT_TRUE(fresh.WaitFor([&](FakeLine& l) { return l.sent_ == queued; }));
        fresh.Receive({42});
        ASSERT_TRUE(WaitUntil([&] { return CommBytesAvailable(again) == 1; }));
        EXPECT_EQ(CommClose(again), 0);
        EXPECT_EQ(notices.Texts().size(), 2u);
        ASSERT_TRUE(WaitUntil([] { return CommContextsInUse() == 0; }));
    }
}

}  // namespace
