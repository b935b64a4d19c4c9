// The stand-in flasher's effective throughput against the line rate (10 bits a byte), run by
// RunFlasher as the wizard runs it, against the simulated receiver with its bootloader.
//
// The simulator paces only what it sends. So that the flasher's own data also crosses a line of
// the speed it set, the flasher's COM port is a pseudo-terminal of its own, and a relay thread
// hands its bytes on to the simulator paced at that speed (and passes the simulator's replies
// back as they come); the relay mirrors the flasher's line speed onto the simulator's side.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Results.h"
#include "source/Flasher.h"
#include "tools/bootloader/BootProtocol.h"
#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace bench {
namespace {

constexpr int kFlasherPort = 13;
constexpr const char* kFirmwareFile = "508231.005";

std::uint32_t BaudOf(speed_t code) {
    switch (code) {
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 0;
    }
}

// Stands between the flasher's port and the simulator, pacing the flasher's bytes at the speed
// the flasher set, and noting when the flasher's block writes began and ended.
class PacedRelay {
public:
    explicit PacedRelay(const std::string& receiverPath) {
        receiver_ = open(receiverPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (receiver_ < 0) throw std::runtime_error("cannot open the simulator's side");
        thread_ = std::thread([this] { Run(); });
    }
    ~PacedRelay() {
        stop_ = true;
        thread_.join();
        close(receiver_);
    }
    const std::string& FlasherPath() const { return front_.SlavePath(); }

    struct Phase {
        std::int64_t firstWriteNs = 0;  // the first Write request had wholly crossed the line
        std::int64_t verifyNs = 0;      // the Verify request after the last block had crossed it
        std::uint32_t writeFrames = 0;
        std::uint32_t firstBlock = 0;   // data bytes of the first Write request
        std::uint64_t hostBytes = 0;    // bytes the flasher sent in all
    };
    Phase Observed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return phase_;
    }

private:
    void Run() {
        std::deque<std::uint8_t> pending;  // from the flasher, not yet on the simulator's side
        std::int64_t nextByteAt = 0;        // when the byte at the front of `pending` is complete
        std::uint32_t applied = 0;
        std::uint8_t buffer[4096];
        while (!stop_) {
            // The flasher's speed goes onto the simulator's side before any byte sent at it.
            termios front{};
            std::uint32_t baud = applied;
            if (tcgetattr(front_.Slave(), &front) == 0) baud = BaudOf(cfgetospeed(&front));
            if (baud != 0 && baud != applied) {
                termios back{};
                tcgetattr(receiver_, &back);
                cfmakeraw(&back);
                cfsetispeed(&back, cfgetospeed(&front));
                cfsetospeed(&back, cfgetospeed(&front));
                tcsetattr(receiver_, TCSANOW, &back);
                applied = baud;
            }
            const std::int64_t byteNs = applied == 0 ? 0 : 10'000'000'000LL / applied;

            std::int64_t now = NowNs();
            if (!pending.empty() && now >= nextByteAt) {
                const auto due = static_cast<std::size_t>((now - nextByteAt) / std::max<std::int64_t>(byteNs, 1)) + 1;
                const std::size_t count = std::min({due, pending.size(), sizeof buffer});
                std::copy_n(pending.begin(), count, buffer);
                const ssize_t written = write(receiver_, buffer, count);
                if (written > 0) {
                    pending.erase(pending.begin(), pending.begin() + written);
                    nextByteAt += byteNs * written;
                    Watch(buffer, static_cast<std::size_t>(written), NowNs());
                }
            }

            int waitMs = 5;
            if (!pending.empty()) waitMs = static_cast<int>(std::max<std::int64_t>(0, (nextByteAt - now) / 1'000'000));
            pollfd fds[2] = {{front_.Master(), POLLIN, 0}, {receiver_, POLLIN, 0}};
            if (poll(fds, 2, waitMs) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = read(front_.Master(), buffer, sizeof buffer);
                if (n > 0) {
                    now = NowNs();
                    // A line at rest starts the first byte now; it is complete one byte time later.
                    if (pending.empty() && nextByteAt < now) nextByteAt = now + byteNs;
                    pending.insert(pending.end(), buffer, buffer + n);
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t n = read(receiver_, buffer, sizeof buffer);
                if (n > 0) WriteAll(front_.Master(), buffer, static_cast<std::size_t>(n));
            }
        }
    }

    // Follows the flasher's requests as they finish crossing the line.
    void Watch(const std::uint8_t* bytes, std::size_t count, std::int64_t now) {
        reader_.Feed(bytes, count);
        std::lock_guard<std::mutex> lock(mutex_);
        phase_.hostBytes += count;
        while (auto frame = reader_.Next()) {
            if (frame->command == boot::kWrite) {
                if (phase_.writeFrames++ == 0) {
                    phase_.firstWriteNs = now;
                    phase_.firstBlock = static_cast<std::uint32_t>(frame->data.size() - 4);
                }
            } else if (frame->command == boot::kVerify && phase_.verifyNs == 0) {
                phase_.verifyNs = now;
            }
        }
    }

    PtyPair front_;
    int receiver_ = -1;
    boot::FrameReader reader_;  // relay thread only
    mutable std::mutex mutex_;
    Phase phase_;  // guarded by mutex_
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct FlashRun {
    bool ok = false;
    std::string failure;
    double seconds = 0;
    std::uint64_t imageBytes = 0;
    PacedRelay::Phase phase;
};

FlashRun Flash(std::int32_t connectSpeed, std::int32_t transferSpeed) {
    FlashRun run;
    namespace fs = std::filesystem;
    char folderTemplate[] = "/tmp/reflasher-bench-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        run.failure = "no temporary folder";
        return run;
    }
    const fs::path folder = folderTemplate;
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();
    run.imageBytes = fs::file_size(programFolder / kFirmwareFile);

    sim::DeviceState device;
    device.ownBaud = static_cast<unsigned>(connectSpeed);
    sim::ReceiverSim receiver(device, sim::MakeReceiverWithBootloader());
    {
        PacedRelay relay(receiver.SlavePath());
        MapComPort(kFlasherPort, relay.FlasherPath());

        const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
        const int errors = open((folder / "flasher.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FlasherSurroundings surroundings;
        std::string messages;
        surroundings.showMessage = [&messages](const std::string& text) { messages += text; };
        surroundings.programFolder = programFolder.string();
        surroundings.tempFolder = folder.string() + "/";
        surroundings.console.input = nothing;
        surroundings.console.output = nothing;
        surroundings.console.error = errors;

        const std::int64_t start = NowNs();
        const FlasherResult result = RunFlasher(kFirmwareFile, kFlasherPort, connectSpeed, transferSpeed,
                                                kUpdateCompletionLimitMs, 128, surroundings);
        run.seconds = static_cast<double>(NowNs() - start) * 1e-9;
        run.phase = relay.Observed();
        close(nothing);
        close(errors);
        if (result != FlasherResult::Succeeded) {
            std::ifstream in(folder / "flasher.err");
            run.failure = "the flasher failed: " + messages + " " +
                          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (receiver.Device().firmwareVersion != "169-508231-005") {
            run.failure = "the receiver does not run the new firmware";
        } else if (run.phase.writeFrames < 2 || run.phase.verifyNs <= run.phase.firstWriteNs) {
            run.failure = "the relay did not see the block writes";
        } else {
            run.ok = true;
        }
    }
    fs::remove_all(folder);
    return run;
}

void FlasherThroughput(benchmark::State& state) {
    for (auto _ : state) {
        struct Case {
            std::int32_t connect, transfer;
        } cases[] = {{19200, 115200}, {9600, 9600}};
        Note("6", "The whole-run rows include what surrounds the data: the Sync at the connect speed, the switch "
                  "to the transfer speed, the receiver's 300 ms erase, the verify and the start of the new "
                  "firmware; the goal is held against the block writes, where the data crosses the line.");
        for (const Case& c : cases) {
            const FlashRun run = Flash(c.connect, c.transfer);
            const std::string speed = std::to_string(c.transfer);
            if (!run.ok) {
                state.SkipWithError((speed + ": " + run.failure).c_str());
                continue;
            }
            const double lineRate = c.transfer / 10.0;
            const double writeSeconds = static_cast<double>(run.phase.verifyNs - run.phase.firstWriteNs) * 1e-9;
            const double writeRate = static_cast<double>(run.imageBytes - run.phase.firstBlock) / writeSeconds;
            const double wholeRate = static_cast<double>(run.imageBytes) / run.seconds;
            Record({"6",
                    "flasher at " + speed + ", block writes (" + std::to_string(run.phase.writeFrames) + " blocks, " +
                        Fixed(writeSeconds, 2) + " s)",
                    Fixed(writeRate, 0) + " B/s", "line rate " + Fixed(lineRate, 0) + " B/s",
                    Fixed(100 * writeRate / lineRate, 1) + " %", "≥ 90 % of line rate",
                    writeRate >= 0.9 * lineRate ? Verdict::Met : Verdict::Missed});
            Record({"6",
                    "flasher at " + speed + ", whole run (" + std::to_string(run.imageBytes) + "-byte image, " +
                        Fixed(run.seconds, 2) + " s from start to result)",
                    Fixed(wholeRate, 0) + " B/s", "line rate " + Fixed(lineRate, 0) + " B/s",
                    Fixed(100 * wholeRate / lineRate, 1) + " %", "", Verdict::Info});
            if (writeRate < 0.9 * lineRate) {
                Note("6", "At " + speed + " bit/s the block writes reached " + Fixed(100 * writeRate / lineRate, 1) +
                              " % of the line rate: prog.exe sends one block, then waits for its reply before the "
                              "next, so every block pays the reply and the turn-around on top of its framing. Two "
                              "blocks in flight (or larger blocks) would close it.");
            }
            state.counters["write_Bps_" + speed] = writeRate;
            state.counters["whole_Bps_" + speed] = wholeRate;
        }
    }
}

}  // namespace

BENCHMARK(FlasherThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace bench
