// The serial engine against the machine's own limit (a raw termios + poll loop) and against
// Boost.Asio's serial_port, each on a pseudo-terminal pair of its own: throughput both ways,
// latency both ways, CPU time of an idle open port, and heap allocations of each operation.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench/AllocCounter.h"
#include "bench/BenchSupport.h"
#include "link/Conversation.h"
#include "bench/Results.h"
#include "comm/CommInternal.h"
#include "comm/platform/Sync.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "tools/receiver-sim/ReceiverProtocol.h"

namespace bench {
namespace {

constexpr std::size_t kStreamBytes = 8u << 20;
constexpr int kThroughputRuns = 5;
constexpr std::size_t kPiece = 4096;
constexpr int kLatencySamples = 2000;
constexpr int kLatencyBlock = 100;
// Each direction's sampling stops early past this, so that a slow path cannot hold the run.
constexpr std::int64_t kLatencyPhaseLimitNs = 30'000'000'000;
constexpr std::uint32_t kBaud =
    115200;  // a pseudo-terminal moves bytes as fast as it can at any speed
constexpr int kEnginePort = 11;
constexpr std::int64_t kStreamLimitNs =
    20'000'000'000;  // a stream that takes longer has lost bytes

// Reads `total` bytes from a non-blocking descriptor, checking the pattern. Returns the time the
// last byte arrived, or -1 on an error, a wrong byte or a stall.
std::int64_t ReceiveChecked(int fd, std::size_t total) {
    std::uint8_t buffer[kPiece];
    std::size_t got = 0;
    const std::int64_t deadline = NowNs() + kStreamLimitNs;
    while (got < total) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, total - got));
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != Pattern(got + static_cast<std::size_t>(i))) return -1;
            }
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) < 0 && errno != EINTR) return -1;
        if (NowNs() > deadline) return -1;
    }
    return NowNs();
}

bool Check(const std::uint8_t* bytes, std::size_t count, std::size_t offset) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != Pattern(offset + i)) return false;
    }
    return true;
}

// One side of the comparison: opens the slave of its own pair and moves the stream.
class Subject {
  public:
    virtual ~Subject() = default;
    virtual const char* Name() const = 0;
    // Sends the stream to the peer on the master side; false on an error.
    virtual bool Send(const std::uint8_t* bytes, std::size_t total) = 0;
    // Receives `total` pattern bytes sent by the peer; false on an error or a wrong byte.
    virtual bool Receive(std::size_t total) = 0;
    PtyPair pair;
};

class RawSubject final : public Subject {
  public:
    const char* Name() const override { return "raw termios + poll"; }
    bool Send(const std::uint8_t* bytes, std::size_t total) override {
        for (std::size_t sent = 0; sent < total; sent += kPiece) {
            if (!WriteAll(pair.Slave(), bytes + sent, std::min(kPiece, total - sent))) return false;
        }
        return true;
    }
    bool Receive(std::size_t total) override { return ReceiveChecked(pair.Slave(), total) >= 0; }
};

class EngineSubject final : public Subject {
  public:
    EngineSubject() {
        MapComPort(kEnginePort, pair.SlavePath());
        const CommPortConfig config = ConnectingLine(kEnginePort, kBaud);
        if (CommOpen(&handle_, &config) != 0)
            throw std::runtime_error("CommOpen failed on a pseudo-terminal");
        CommFindSlot(&slot_, handle_);
    }
    ~EngineSubject() override { CommClose(handle_); }
    const char* Name() const override { return "engine"; }
    PortHandle Handle() const { return handle_; }

    bool Send(const std::uint8_t* bytes, std::size_t total) override {
        std::size_t sent = 0;
        const std::int64_t deadline = NowNs() + kStreamLimitNs;
        while (sent < total) {
            const auto piece = static_cast<std::int32_t>(std::min(kPiece, total - sent));
            const int left = CommWrite(handle_, bytes + sent, piece);
            if (left < 0) return false;
            sent += static_cast<std::size_t>(piece - left);
            if (left > 0) {
                // The transmit ring is full: wait for the writer thread to empty it. The event is
                // lowered before the look, and the writer raises it after it has published the
                // empty ring, so an emptying between the look and the wait is not missed.
                if (NowNs() > deadline) return false;
                slot_->txEmptyEvent->Reset();
                if (std::atomic_ref(slot_->txRead).load() != std::atomic_ref(slot_->txWrite).load())
                    slot_->txEmptyEvent->Wait(100);
            }
        }
        return true;
    }

    bool Receive(std::size_t total) override {
        std::uint8_t buffer[kPiece];
        std::size_t got = 0;
        const std::int64_t deadline = NowNs() + kStreamLimitNs;
        CommEvent* arrived = slot_->rxDataEvent;
        while (got < total) {
            const int n =
                CommRead(handle_, buffer, static_cast<std::int32_t>(std::min(kPiece, total - got)));
            if (n < 0) return false;
            if (n > 0) {
                if (!Check(buffer, static_cast<std::size_t>(n), got)) return false;
                got += static_cast<std::size_t>(n);
                continue;
            }
            // The reader thread raises the event after it has published new bytes; lowering it
            // before looking again means no arrival between the look and the wait is missed.
            arrived->Reset();
            if (CommBytesAvailable(handle_) > 0) continue;
            arrived->Wait(100);
            if (NowNs() > deadline) return false;
        }
        return true;
    }

  private:
    PortHandle handle_ = 0;
    CommPort* slot_ = nullptr;
};

class AsioSubject final : public Subject {
  public:
    AsioSubject() : port_(io_, pair.SlavePath()) {
        using boost::asio::serial_port_base;
        port_.set_option(serial_port_base::baud_rate(kBaud));
        port_.set_option(serial_port_base::character_size(8));
        port_.set_option(serial_port_base::parity(serial_port_base::parity::none));
        port_.set_option(serial_port_base::stop_bits(serial_port_base::stop_bits::one));
        port_.set_option(serial_port_base::flow_control(serial_port_base::flow_control::none));
    }
    const char* Name() const override { return "Boost.Asio serial_port"; }
    bool Send(const std::uint8_t* bytes, std::size_t total) override {
        boost::system::error_code error;
        for (std::size_t sent = 0; sent < total && !error; sent += kPiece) {
            boost::asio::write(
                port_, boost::asio::buffer(bytes + sent, std::min(kPiece, total - sent)), error);
        }
        return !error;
    }
    bool Receive(std::size_t total) override {
        std::uint8_t buffer[kPiece];
        std::size_t got = 0;
        boost::system::error_code error;
        while (got < total) {
            const std::size_t n =
                port_.read_some(boost::asio::buffer(buffer, std::min(kPiece, total - got)), error);
            if (error || !Check(buffer, n, got)) return false;
            got += n;
        }
        return true;
    }

  private:
    boost::asio::io_context io_;
    boost::asio::serial_port port_;
};

// Bytes per second for the subject sending the stream to the peer; 0 on a failure.
double TransmitRate(Subject& subject, const std::vector<std::uint8_t>& stream) {
    Drain(subject.pair.Master());
    std::atomic<std::int64_t> end{-1};
    std::thread peer([&] { end = ReceiveChecked(subject.pair.Master(), stream.size()); });
    const std::int64_t start = NowNs();
    const bool sent = subject.Send(stream.data(), stream.size());
    peer.join();
    if (!sent || end < 0) return 0;
    return static_cast<double>(stream.size()) / (static_cast<double>(end - start) * 1e-9);
}

// Bytes per second for the peer sending the stream to the subject; 0 on a failure.
double ReceiveRate(Subject& subject, const std::vector<std::uint8_t>& stream) {
    std::atomic<bool> go{false};
    std::atomic<bool> peerOk{true};
    std::thread peer([&] {
        while (!go.load()) sched_yield();
        for (std::size_t sent = 0; sent < stream.size() && peerOk; sent += kPiece)
            peerOk = WriteAll(subject.pair.Master(), stream.data() + sent,
                              std::min(kPiece, stream.size() - sent));
    });
    const std::int64_t start = NowNs();
    go = true;
    const bool received = subject.Receive(stream.size());
    const std::int64_t end = NowNs();
    if (!received) {
        // Unblock a peer stuck on a full line before joining it.
        peerOk = false;
        Drain(subject.pair.Slave());
    }
    peer.join();
    if (!received || !peerOk) return 0;
    return static_cast<double>(stream.size()) / (static_cast<double>(end - start) * 1e-9);
}

// Microseconds, shown in milliseconds once they reach 10 ms.
std::string Micros(double us) {
    return us >= 10'000 ? Fixed(us / 1000, 1) + " ms" : Fixed(us, 1) + " µs";
}

std::string MBps(double bytesPerSecond) {
    return Fixed(bytesPerSecond / 1e6, 1) + " MB/s";
}

void EngineThroughput(benchmark::State& state) {
    for (auto _ : state) {
        CommStartup();
        {
            RawSubject raw;
            EngineSubject engine;
            AsioSubject asio;
            Subject* subjects[] = {&raw, &engine, &asio};
            const std::vector<std::uint8_t> stream = PatternBytes(kStreamBytes);
            std::vector<double> tx[3], rx[3];
            for (int run = 0; run < kThroughputRuns; ++run) {
                for (int k = 0; k < 3; ++k) {
                    const int i =
                        (k + run) % 3;  // rotate the order so no subject always goes first
                    // A subject that failed once is not run that way again: a stalled stream costs
                    // its whole time limit each time.
                    if (tx[i].empty() || tx[i].back() > 0)
                        tx[i].push_back(TransmitRate(*subjects[i], stream));
                    if (rx[i].empty() || rx[i].back() > 0)
                        rx[i].push_back(ReceiveRate(*subjects[i], stream));
                }
            }
            for (int i = 0; i < 3; ++i) {
                for (double rate : tx[i]) {
                    if (rate == 0)
                        state.SkipWithError(
                            (std::string(subjects[i]->Name()) + ": transmit failed").c_str());
                }
                for (double rate : rx[i]) {
                    if (rate == 0)
                        state.SkipWithError(
                            (std::string(subjects[i]->Name()) + ": receive failed").c_str());
                }
            }
            const char* directions[] = {"`CommWrite` → peer", "peer → `CommRead`"};
            for (int d = 0; d < 2; ++d) {
                const auto& rates = d == 0 ? tx : rx;
                auto failed = [](const std::vector<double>& runs) { return runs.back() == 0; };
                const double rawRate = Median(rates[0]), engineRate = Median(rates[1]),
                             asioRate = Median(rates[2]);
                const double toRaw = engineRate / rawRate, toAsio = engineRate / asioRate;
                const std::string engineText =
                    failed(rates[1]) ? "failed (bytes lost, wrong or stalled)" : MBps(engineRate);
                auto referenceText = [&](const char* name, int i, double rate) {
                    return std::string(name) + " " + (failed(rates[i]) ? "failed" : MBps(rate));
                };
                Record({"1", std::string("throughput ") + directions[d], engineText,
                        referenceText("raw loop", 0, rawRate), Fixed(100 * toRaw, 0) + " %",
                        "≥ 80 % of raw", toRaw >= 0.8 ? Verdict::Met : Verdict::Missed});
                Record({"1", std::string("throughput ") + directions[d], engineText,
                        referenceText("Boost.Asio", 2, asioRate), Fixed(100 * toAsio, 0) + " %",
                        "≥ 100 % of Asio", toAsio >= 1.0 ? Verdict::Met : Verdict::Missed});
                // Trials made while writing these benchmarks (engine builds not committed), on this
                // machine: with the reader's 1 ms pause replaced by a yield, receiving rose
                // from 3.9 to 42 MB/s; with both rings at 64 KB, sending reached 114 % of the raw
                // loop and receiving 74 %.
                if (d == 1 && toRaw < 0.8) {
                    const double bound = COMM_RING_SIZE / 1e-3;
                    Note("1",
                         "Receiving (" + MBps(engineRate) + ", " + Fixed(100 * toRaw, 0) +
                             " % of raw): the engine's reader thread pauses 1 ms whenever the " +
                             std::to_string(COMM_RING_SIZE) +
                             "-byte receive ring is full, and at pseudo-terminal speed one read "
                             "fills it, so "
                             "it receives at most about " +
                             MBps(bound) +
                             ". Trial builds (not committed) show what closes the gap: with the "
                             "pause "
                             "replaced by a yield it received about ten times faster; with 64 KB "
                             "rings it "
                             "reached about three quarters of the raw loop. The reader should wait "
                             "for an "
                             "event that `CommRead` raises when it frees room, and the ring would "
                             "have to grow "
                             "beyond the design's 4096 bytes. A serial line at 115200 bit/s "
                             "carries 11.5 kB/s, " +
                             Fixed(engineRate / 11520.0, 0) + " times less than this figure.");
                }
                if (d == 0 && (toRaw < 0.8 || toAsio < 1.0)) {
                    Note("1", "Sending (" + MBps(engineRate) + ", " + Fixed(100 * toRaw, 0) +
                                  " % of raw, " + Fixed(100 * toAsio, 0) +
                                  " % of Boost.Asio): `CommWrite` can queue only the 4096-byte "
                                  "transmit ring ahead, "
                                  "so every 4 KB crosses from the caller's thread to the writer "
                                  "thread and back (the "
                                  "caller waits until the ring is empty), with one more copy into "
                                  "the writer's own "
                                  "buffer, while the raw loop and Boost.Asio write from the "
                                  "caller's thread straight "
                                  "into the descriptor. A trial build with 64 KB rings (not "
                                  "committed) sent faster "
                                  "than both references on this machine, so the ring's size, fixed "
                                  "by the design, "
                                  "is the gap; a serial line never comes near these rates.");
                }
                state.counters[d == 0 ? "tx_engine_MBps" : "rx_engine_MBps"] = engineRate / 1e6;
                state.counters[d == 0 ? "tx_raw_MBps" : "rx_raw_MBps"] = rawRate / 1e6;
                state.counters[d == 0 ? "tx_asio_MBps" : "rx_asio_MBps"] = asioRate / 1e6;
            }
        }
        CommCleanup();
    }
}

// Watches a master side and stamps the arrival of each byte (the transmit latency's far end).
class ArrivalProbe {
  public:
    explicit ArrivalProbe(int master) : master_(master), thread_([this] { Run(); }) {}
    ~ArrivalProbe() {
        stop_ = true;
        thread_.join();
    }
    std::uint64_t Count() const { return count_.load(std::memory_order_acquire); }
    std::int64_t Last() const { return last_.load(std::memory_order_acquire); }

  private:
    void Run() {
        std::uint8_t buffer[256];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const std::int64_t now = NowNs();
            if (read(master_, buffer, sizeof buffer) > 0) {
                last_.store(now, std::memory_order_release);
                count_.fetch_add(1, std::memory_order_acq_rel);
            }
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> last_{0};
    std::atomic<std::uint64_t> count_{0};
    std::thread thread_;
};

// Sends one byte with `send` and waits for the probe to see it; the latency in µs, or -1.
double TransmitSample(ArrivalProbe& probe, const std::function<void()>& send) {
    const std::uint64_t before = probe.Count();
    const std::int64_t start = NowNs();
    send();
    const std::int64_t deadline = start + 2'000'000'000;
    while (probe.Count() == before) {
        if (NowNs() > deadline) return -1;
        sched_yield();
    }
    return static_cast<double>(probe.Last() - start) / 1000.0;
}

void PauseBetweenSamples() {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void EngineLatency(benchmark::State& state) {
    for (auto _ : state) {
        CommStartup();
        {
            RawSubject raw;
            EngineSubject engine;
            const std::uint8_t byte = 0x55;
            std::vector<double> txRaw, txEngine, rxRaw, rxEngine, rxEnginePolled;
            bool failed = false;
            {
                ArrivalProbe rawProbe(raw.pair.Master());
                ArrivalProbe engineProbe(engine.pair.Master());
                const std::int64_t phaseEnd = NowNs() + kLatencyPhaseLimitNs;
                for (int block = 0;
                     block < kLatencySamples / kLatencyBlock && !failed && NowNs() < phaseEnd;
                     ++block) {
                    for (int i = 0; i < kLatencyBlock; ++i) {
                        txRaw.push_back(TransmitSample(
                            rawProbe, [&] { (void)!write(raw.pair.Slave(), &byte, 1); }));
                        PauseBetweenSamples();
                    }
                    for (int i = 0; i < kLatencyBlock; ++i) {
                        txEngine.push_back(TransmitSample(
                            engineProbe, [&] { CommWrite(engine.Handle(), &byte, 1); }));
                        PauseBetweenSamples();
                    }
                    failed = txRaw.back() < 0 || txEngine.back() < 0;
                }
            }
            // Receive: the raw descriptor's poll, the engine's caller waiting on the port's receive
            // event, and the engine's caller polling; the wait ends when CommBytesAvailable says
            // so.
            CommPort* slot = nullptr;
            CommFindSlot(&slot, engine.Handle());
            CommEvent* arrived = slot->rxDataEvent;
            const std::int64_t phaseEnd = NowNs() + kLatencyPhaseLimitNs;
            for (int block = 0;
                 block < kLatencySamples / kLatencyBlock && !failed && NowNs() < phaseEnd;
                 ++block) {
                for (int i = 0; i < kLatencyBlock && !failed; ++i) {
                    std::uint8_t scrap[16];
                    const std::int64_t start = NowNs();
                    (void)!write(raw.pair.Master(), &byte, 1);
                    pollfd p{raw.pair.Slave(), POLLIN, 0};
                    failed = poll(&p, 1, 2000) != 1;
                    rxRaw.push_back(static_cast<double>(NowNs() - start) / 1000.0);
                    (void)!read(raw.pair.Slave(), scrap, sizeof scrap);
                    PauseBetweenSamples();
                }
                for (int i = 0; i < kLatencyBlock && !failed; ++i) {
                    std::uint8_t scrap[16];
                    const std::int64_t start = NowNs();
                    const std::int64_t deadline = start + 2'000'000'000;
                    (void)!write(engine.pair.Master(), &byte, 1);
                    while (CommBytesAvailable(engine.Handle()) == 0 && !failed) {
                        arrived->Reset();
                        if (CommBytesAvailable(engine.Handle()) > 0) break;
                        arrived->Wait(100);
                        failed = NowNs() > deadline;
                    }
                    rxEngine.push_back(static_cast<double>(NowNs() - start) / 1000.0);
                    CommRead(engine.Handle(), scrap, sizeof scrap);
                    PauseBetweenSamples();
                }
                for (int i = 0; i < kLatencyBlock && !failed; ++i) {
                    std::uint8_t scrap[16];
                    const std::int64_t start = NowNs();
                    const std::int64_t deadline = start + 2'000'000'000;
                    (void)!write(engine.pair.Master(), &byte, 1);
                    while (CommBytesAvailable(engine.Handle()) == 0 && !failed) {
                        failed = NowNs() > deadline;
                        sched_yield();
                    }
                    rxEnginePolled.push_back(static_cast<double>(NowNs() - start) / 1000.0);
                    CommRead(engine.Handle(), scrap, sizeof scrap);
                    PauseBetweenSamples();
                }
            }
            if (failed) {
                state.SkipWithError("a byte was not seen within 2 s");
            } else {
                struct Pair {
                    const char* name;
                    const std::vector<double>& engine;
                    const std::vector<double>& raw;
                    bool goal;
                } pairs[] = {
                    {"`CommWrite` → first byte at the peer", txEngine, txRaw, true},
                    {"peer byte → `CommBytesAvailable` sees it (caller waits on the receive event)",
                     rxEngine, rxRaw, true},
                    {"peer byte → `CommBytesAvailable` sees it (caller polls, yielding)",
                     rxEnginePolled, rxRaw, false}};
                for (const Pair& pair : pairs) {
                    const double e50 = Percentile(pair.engine, 50), r50 = Percentile(pair.raw, 50);
                    const double e99 = Percentile(pair.engine, 99), r99 = Percentile(pair.raw, 99);
                    Record({"2",
                            std::string("latency p50, ") + pair.name + " (" +
                                std::to_string(pair.engine.size()) + " samples)",
                            Micros(e50), "raw loop " + Micros(r50), Fixed(e50 / r50, 2) + " ×", "",
                            Verdict::Info});
                    Record({"2", std::string("latency p99, ") + pair.name, Micros(e99),
                            "raw loop " + Micros(r99), Fixed(e99 / r99, 2) + " ×",
                            pair.goal ? "≤ 2 × raw" : "",
                            !pair.goal       ? Verdict::Info
                            : e99 <= 2 * r99 ? Verdict::Met
                                             : Verdict::Missed});
                }
                const bool txMissed = Percentile(txEngine, 99) > 2 * Percentile(txRaw, 99);
                const bool rxMissed = Percentile(rxEngine, 99) > 2 * Percentile(rxRaw, 99);
                if (txMissed) {
                    Note("2",
                         "A sent byte takes a wake-up of the writer thread (`CommWrite` raises its "
                         "event) before "
                         "it reaches `write`, where the raw loop writes at once; on a loaded "
                         "two-core machine "
                         "that wake-up can wait for a time slice. Closing the gap would need "
                         "`CommWrite` to "
                         "write an idle line itself, outside the design's writer thread.");
                }
                const bool pausing = Percentile(rxEngine, 50) >= 100'000;
                if (pausing) {
                    // Seen on main from 18:08 UTC on 2026-12-08: every received byte waited about
                    // 200 ms.
                    Note("2", "Received bytes wait about " +
                                  Fixed(Percentile(rxEngine, 50) / 1000, 0) +
                                  " ms (p50): after each burst the reader thread pauses. The POSIX "
                                  "line device takes "
                                  "a read that returns 0 bytes for a hang-up, but a terminal in "
                                  "raw mode with VMIN = 0 "
                                  "and VTIME = 0 returns 0 bytes (not EAGAIN) whenever it is "
                                  "merely empty, so every "
                                  "burst ends in the hang-up pause, and a byte that arrives during "
                                  "it waits for the "
                                  "pause to end. Taking 0 bytes for a hang-up only together with "
                                  "POLLHUP from poll "
                                  "would close the gap.");
                }
                if (rxMissed && !pausing) {
                    // One byte's time on the fastest line the wizard uses.
                    const double byteUs = 10.0 / 115200 * 1e6;
                    Note("2",
                         "A received byte takes two wake-ups through the engine where the raw loop "
                         "takes one: "
                         "`poll` wakes the reader thread, which reads, publishes to the ring and "
                         "raises the "
                         "receive event, which wakes the caller. That second hand-over is the "
                         "design's (a "
                         "reader thread feeding a ring); closing the gap would need a call that "
                         "lets the "
                         "caller wait on the line itself while the ring is empty. The engine's p99 "
                         "here is " +
                             Fixed(Percentile(rxEngine, 99) / byteUs, 2) +
                             " of one byte's time on the line at 115200 bit/s (" +
                             Fixed(byteUs, 1) +
                             " µs), and the wizard looks at the ring every 250 ms.");
                }
                state.counters["tx_p99_engine_us"] = Percentile(txEngine, 99);
                state.counters["tx_p99_raw_us"] = Percentile(txRaw, 99);
                state.counters["rx_p99_engine_us"] = Percentile(rxEngine, 99);
                state.counters["rx_p99_raw_us"] = Percentile(rxRaw, 99);
                state.counters["rx_p99_polled_us"] = Percentile(rxEnginePolled, 99);
            }
        }
        CommCleanup();
    }
}

void EngineIdleCpu(benchmark::State& state) {
    for (auto _ : state) {
        CommStartup();
        {
            EngineSubject engine;
            rusage before{}, after{};
            getrusage(RUSAGE_SELF, &before);
            const double cpuStart = ProcessCpuSeconds();
            const std::int64_t start = NowNs();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            const double cpu = ProcessCpuSeconds() - cpuStart;
            const double wall = static_cast<double>(NowNs() - start) * 1e-9;
            getrusage(RUSAGE_SELF, &after);
            const double share = 100 * cpu / wall;
            const double wakeups = static_cast<double>((after.ru_nvcsw - before.ru_nvcsw) +
                                                       (after.ru_nivcsw - before.ru_nivcsw)) /
                                   wall;
            Record({"3", "CPU of an idle open port over " + Fixed(wall, 1) + " s",
                    Fixed(share, 3) + " % of a core (" + Fixed(cpu * 1000, 1) + " ms)",
                    "goal 0.5 %", Fixed(share / 0.5, 3) + " ×", "< 0.5 % of a core",
                    share < 0.5 ? Verdict::Met : Verdict::Missed});
            Record({"3", "context switches of the idle port", Fixed(wakeups, 1) + " /s", "", "", "",
                    Verdict::Info});
            if (share >= 0.5) {
                Note("3", "The idle port used " + Fixed(share, 3) +
                              " % of a core; its writer thread wakes every 100 ms to look at the "
                              "transmit ring, "
                              "and waiting without a time limit until CommWrite or CommClose wakes "
                              "it would close "
                              "the gap.");
            }
            state.counters["idle_cpu_percent"] = share;
            state.counters["idle_switches_per_s"] = wakeups;
        }
        CommCleanup();
    }
}

// Waits (without allocating) until `count` bytes have come out on the master side.
bool DrainCount(int master, std::size_t count) {
    std::uint8_t buffer[1024];
    std::size_t got = 0;
    const std::int64_t deadline = NowNs() + 5'000'000'000;
    while (got < count && NowNs() < deadline) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 100);
    }
    return got >= count;
}

void EngineAllocations(benchmark::State& state) {
    for (auto _ : state) {
        constexpr int kCalls = 1000;
        PtyPair pair;
        MapComPort(kEnginePort, pair.SlavePath());
        const CommPortConfig config = ConnectingLine(kEnginePort, 19200);
        // The reply the collection finds: built before any window opens.
        sim::DeviceState device;
        const sim::Bytes reply = sim::Frame('-', sim::IdentityReplyData(device));
        std::vector<std::uint8_t> collectionBuffer(ReceiverLink::kCapacity + 1);
        ReceiverLink link;
        bool ok = true;
        CommStartup();

        // The hook must see a known allocation, or every zero below would mean nothing.
        AllocStart();
        int* volatile known = new int(7);
        delete known;
        if (AllocStop() != 1) state.SkipWithError("the allocation hook does not count");

        PortHandle handle = 0;
        AllocStart();
        ok = CommOpen(&handle, &config) == 0 && ok;
        const std::uint64_t open = AllocStop();

        const std::uint8_t byte = 0x42;
        AllocStart();
        for (int i = 0; i < kCalls; ++i) ok = CommWrite(handle, &byte, 1) == 0 && ok;
        ok = DrainCount(pair.Master(), kCalls) && ok;  // the writer thread's work counts too
        const std::uint64_t writes = AllocStop();

        std::uint8_t incoming[kCalls];
        std::memset(incoming, 0x42, sizeof incoming);
        AllocStart();
        ok = WriteAll(pair.Master(), incoming, sizeof incoming) && ok;
        int read = 0;
        for (std::int64_t deadline = NowNs() + 5'000'000'000;
             read < kCalls && NowNs() < deadline;) {
            std::uint8_t one;
            const int n = CommRead(handle, &one, 1);
            if (n > 0) {
                read += n;
            } else {
                sched_yield();
            }
        }
        ok = read == kCalls && ok;
        const std::uint64_t reads = AllocStop();

        AllocStart();
        for (int i = 0; i < kCalls; ++i) ok = CommBytesAvailable(handle) == 0 && ok;
        const std::uint64_t available = AllocStop();

        AllocStart();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::uint64_t idle = AllocStop();

        link.port = handle;
        AllocStart();
        ok = WriteAll(pair.Master(), reply.data(), reply.size()) && ok;
        ok = link.CollectReplies(collectionBuffer.data()) && ok;
        const std::uint64_t collection = AllocStop();
        ok = std::strcmp(link.identity.firmwareVersion, device.firmwareVersion.c_str()) == 0 && ok;

        AllocStart();
        ok = CommClose(handle) == 0 && ok;
        const std::uint64_t close = AllocStop();
        CommCleanup();

        if (!ok) state.SkipWithError("an engine call failed during the allocation count");
        auto row = [](const std::string& figure, std::uint64_t count, bool goal) {
            Record({"4", "heap allocations: " + figure, std::to_string(count), "", "",
                    goal ? "0 after `CommOpen` returns" : "",
                    goal ? (count == 0 ? Verdict::Met : Verdict::Missed) : Verdict::Info});
        };
        row("`CommOpen`", open, false);
        row(std::to_string(kCalls) + " × `CommWrite` of a byte, until all are sent", writes, true);
        row(std::to_string(kCalls) + " bytes received, " + std::to_string(kCalls) +
                " × `CommRead` of a byte",
            reads, true);
        row(std::to_string(kCalls) + " × `CommBytesAvailable`", available, true);
        row("open port idle for 1 s", idle, true);
        row("`CollectReplies`, a whole collection (identity reply, " +
                std::to_string(link.stats.cycles) + " cycles)",
            collection, true);
        row("`CommClose`", close, true);
        if (writes + reads + available + idle + collection + close > 0) {
            Note("4",
                 "Something allocated after `CommOpen` returned; the rows say in which step. Any "
                 "allocation "
                 "there breaks the engine's promise of no heap use, and the step's code path "
                 "should be found "
                 "with a breakpoint on malloc inside that window.");
        }
        state.counters["allocs_open"] = static_cast<double>(open);
        state.counters["allocs_after_open"] =
            static_cast<double>(writes + reads + available + idle + collection + close);
    }
}

}  // namespace

BENCHMARK(EngineThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineIdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineAllocations)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace bench
