// The connecting page's sequence (handshake, identity, power) against the simulated receiver at
// 19200 and at 9600, against the floor that the collection cycles set.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Results.h"
#include "comm/Comm.h"
#include "link/Conversation.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace bench {
namespace {

constexpr int kConnectPort = 12;
constexpr int kConnectRuns = 3;
constexpr std::uint32_t kInformationBufferSize = 1001;

// Time of `bytes` on the line at `baud`, 10 bits a byte.
double LineMs(std::uint64_t bytes, std::uint32_t baud) {
    return static_cast<double>(bytes) * 10.0 * 1000.0 / baud;
}

struct ConnectRun {
    bool ok = false;
    std::string failure;
    double ms = 0;
    double floorMs = 0;
    std::uint32_t speed = 0;
    std::uint32_t cycles = 0;       // collection cycles run in all
    std::uint32_t floorCycles = 0;  // the protocol's least
    double lineMs = 0;              // requests and replies of the answered exchanges on the line
};

// The connecting page's steps, with the floor of each collection added up as it goes.
// `silentTryCycles`: the least cycles of the unanswered 19200 try (1 for a silent receiver; 2
// when it answers the wrong speed with noise, since only a quiet cycle ends a collection).
ConnectRun RunConnectingSequence(sim::ReceiverSim& receiver, std::uint32_t silentTryCycles) {
    ConnectRun run;
    const std::int64_t start = NowNs();
    ReceiverLink link;
    auto collect = [&](std::uint8_t* buffer, std::uint32_t requestLength, std::uint32_t baud) {
        const std::uint64_t sentBefore = receiver.Count().sent;
        const bool answered = link.CollectReplies(buffer);
        const std::uint64_t replyBytes = receiver.Count().sent - sentBefore;
        run.cycles += link.stats.cycles;
        if (answered) {
            run.lineMs += LineMs(requestLength + replyBytes, baud);
            const double firstPause = std::max(static_cast<double>(ReceiverLink::kCyclePauseMs),
                                               LineMs(requestLength + replyBytes, baud));
            run.floorMs += firstPause + ReceiverLink::kCyclePauseMs;
            run.floorCycles += 2;
        } else {
            run.floorMs += silentTryCycles * static_cast<double>(ReceiverLink::kCyclePauseMs);
            run.floorCycles += silentTryCycles;
        }
        return answered;
    };

    CommStartup();
    CommPortConfig config = ConnectingLine(kConnectPort, 19200);
    PortHandle port = 0;
    if (CommOpen(&port, &config) != 0) {
        CommCleanup();
        run.failure = "CommOpen at 19200 failed";
        return run;
    }
    link.port = port;
    std::uint8_t handshake[kInformationBufferSize] = {};
    const std::uint16_t handshakeLength = BuildHandshakeRequest(handshake);
    std::uint8_t request[16];
    std::memcpy(request, handshake, handshakeLength);  // the collection overwrites the buffer
    CommWrite(port, request, handshakeLength);
    run.speed = 19200;
    if (!collect(handshake, handshakeLength, 19200)) {
        run.speed = 9600;
        CommClose(port);
        config.baud = 9600;
        CommOpen(&port, &config);
        link.port = port;
        CommWrite(port, request, handshakeLength);
        if (!collect(handshake, handshakeLength, 9600)) {
            CommClose(port);
            CommCleanup();
            run.failure = "no answer at 19200 nor at 9600";
            return run;
        }
    }

    std::uint8_t information[kInformationBufferSize] = {};
    std::uint16_t length = BuildIdentityRequest(information);
    CommWrite(port, information, length);
    const bool identity = collect(information, length, run.speed);
    std::memset(information, 0, sizeof information);
    length = BuildPowerRequest(information);
    CommWrite(port, information, length);
    const bool power = identity && collect(information, length, run.speed);
    CommClose(port);
    CommCleanup();
    run.ms = static_cast<double>(NowNs() - start) / 1e6;

    const sim::DeviceState device = receiver.Device();
    if (!identity || !power) {
        run.failure = "identity or power request unanswered";
    } else if (device.firmwareVersion != link.identity.firmwareVersion ||
               device.batteryLevel != link.power.batteryLevel) {
        run.failure = "decoded identity or power does not match the receiver";
    } else {
        run.ok = true;
    }
    return run;
}

void ConnectingSequence(benchmark::State& state) {
    for (auto _ : state) {
        struct Case {
            const char* name;
            unsigned baud;
            bool noise;
            std::uint32_t tryCycles;
            bool goal;
        } cases[] = {{"receiver at 19200", 19200, false, 1, true},
                     {"receiver at 9600 (silent at 19200)", 9600, false, 1, true},
                     {"receiver at 9600 answering 19200 with noise", 9600, true, 2, false}};
        for (const Case& c : cases) {
            sim::DeviceState device;
            device.ownBaud = c.baud;
            device.noiseAtWrongSpeed = c.noise;
            sim::ReceiverSim receiver(device);
            MapComPort(kConnectPort, receiver.SlavePath());
            std::vector<double> times, floors;
            ConnectRun last;
            for (int i = 0; i < kConnectRuns; ++i) {
                last = RunConnectingSequence(receiver, c.tryCycles);
                if (!last.ok) break;
                times.push_back(last.ms);
                floors.push_back(last.floorMs);
            }
            if (!last.ok || last.speed != c.baud) {
                state.SkipWithError(
                    (std::string(c.name) + ": " + (last.ok ? "wrong speed" : last.failure))
                        .c_str());
                continue;
            }
            const double ms = Median(times), floor = Median(floors);
            Record({"5",
                    std::string("connecting sequence, ") + c.name + " (" +
                        std::to_string(last.cycles) + " cycles; least " +
                        std::to_string(last.floorCycles) + ")",
                    Fixed(ms, 0) + " ms",
                    "floor " + Fixed(floor, 0) + " ms (its bytes take " + Fixed(last.lineMs, 0) +
                        " ms on the line, inside the pauses)",
                    Fixed(100 * ms / floor, 1) + " %", c.goal ? "≤ 110 % of floor" : "",
                    c.goal ? (ms <= 1.1 * floor ? Verdict::Met : Verdict::Missed) : Verdict::Info});
            if (c.goal && ms > 1.1 * floor) {
                Note("5", std::string(c.name) + ": " + Fixed(ms, 0) + " ms against a floor of " +
                              Fixed(floor, 0) + " ms over " + std::to_string(last.cycles) +
                              " cycles (the least is " + std::to_string(last.floorCycles) +
                              "). Extra cycles mean a reply was not whole when a cycle looked; "
                              "otherwise the time "
                              "went to opening and closing the port.");
            }
            if (c.noise) {
                Note("5",
                     "A receiver that answers the wrong speed with noise costs the 19200 try a "
                     "second cycle: a "
                     "collection ends only after a cycle in which nothing arrived. Its floor "
                     "counts that cycle.");
            }
            state
                .counters[std::string("ms_") + std::to_string(c.baud) + (c.noise ? "_noise" : "")] =
                ms;
        }
    }
}

}  // namespace

BENCHMARK(ConnectingSequence)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace bench
