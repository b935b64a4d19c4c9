// Two ports at once, each pumped by its own thread while the line's far ends send and receive,
// through hundreds of open/close cycles. Built in the ThreadSanitizer tree too.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "comm/Comm.h"
#include "comm/CommContext.h"
#include "tests/comm/CommTestSupport.h"

using commtest::LineConfig;
using commtest::NoticeRecorder;
using commtest::Pattern;
using commtest::Pty;
using commtest::WaitUntil;

namespace {

struct Exchange {
    std::vector<std::uint8_t> toEngine;
    std::vector<std::uint8_t> fromEngine;
    std::vector<std::uint8_t> received;  // by the engine's caller
    std::vector<std::uint8_t> atFarEnd;  // by the far end
    bool sent = false;
};

// The caller's side of one port: queue what fits, take what came, until both ways are done.
void Pump(PortHandle handle, Exchange* exchange) {
    std::size_t queued = 0;
    std::uint8_t chunk[700];
    WaitUntil(
        [&] {
            if (queued < exchange->fromEngine.size()) {
                auto length = static_cast<std::int32_t>(
                    std::min<std::size_t>(333, exchange->fromEngine.size() - queued));
                int left = CommWrite(handle, exchange->fromEngine.data() + queued, length);
                if (left >= 0) queued += static_cast<std::size_t>(length - left);
            }
            int available = CommBytesAvailable(handle);
            if (available > 0) {
                int got = CommRead(handle, chunk, std::min<std::int32_t>(available, sizeof chunk));
                if (got > 0)
                    exchange->received.insert(exchange->received.end(), chunk, chunk + got);
            }
            return queued == exchange->fromEngine.size() &&
                   exchange->received.size() >= exchange->toEngine.size();
        },
        std::chrono::seconds(60));
}

TEST(CommStress, TwoPortsManyCyclesConcurrentTraffic) {
    Pty first(51);
    Pty second(52);
    ASSERT_TRUE(first.Ok() && second.Ok());
    NoticeRecorder notices;
    ASSERT_EQ(CommStartup(), 0);
    constexpr int kCycles = 300;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        PortHandle handles[2] = {};
        CommPortConfig config = LineConfig(51);
        ASSERT_EQ(CommOpen(&handles[0], &config), 0);
        config.port = 52;
        ASSERT_EQ(CommOpen(&handles[1], &config), 0);

        // Every tenth cycle closes with traffic still under way; the others check every byte.
        bool abrupt = cycle % 10 == 9;
        std::size_t size = cycle % 25 == 0 ? 20000 : 600;
        Exchange exchanges[2];
        Pty* ptys[2] = {&first, &second};
        std::vector<std::thread> threads;
        for (int port = 0; port < 2; ++port) {
            Exchange* exchange = &exchanges[port];
            exchange->toEngine = Pattern(size, static_cast<std::uint32_t>(cycle * 4 + port));
            exchange->fromEngine = Pattern(size, static_cast<std::uint32_t>(cycle * 4 + port + 2));
            if (abrupt) {
                ASSERT_TRUE(ptys[port]->Send(exchange->toEngine));
                ASSERT_EQ(CommWrite(handles[port], exchange->fromEngine.data(),
                                    static_cast<std::int32_t>(size)),
                          0);
                continue;
            }
            Pty* pty = ptys[port];
            threads.emplace_back([pty, exchange, size] {
                exchange->sent = pty->Send(exchange->toEngine);
                exchange->atFarEnd = pty->Receive(size);
            });
            threads.emplace_back([handle = handles[port], exchange] { Pump(handle, exchange); });
        }
        for (std::thread& thread : threads) thread.join();
        if (!abrupt) {
            for (Exchange& exchange : exchanges) {
                EXPECT_TRUE(exchange.sent);
                ASSERT_TRUE(exchange.received == exchange.toEngine);
                ASSERT_TRUE(exchange.atFarEnd == exchange.fromEngine);
            }
        }
        EXPECT_EQ(CommClose(handles[1]), 0);
        EXPECT_EQ(CommClose(handles[0]), 0);
        if (abrupt) {
            // Drain what the engine sent before its close, so the next cycle starts clean.
            for (Pty* pty : ptys) pty->Drain();
        }
    }
    EXPECT_EQ(CommCleanup(), 0);
    EXPECT_TRUE(notices.Texts().empty());
    EXPECT_TRUE(WaitUntil([] { return CommContextsInUse() == 0; }));
}

}  // namespace
