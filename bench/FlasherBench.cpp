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
#include "bench/PacedRelay.h"
#include "bench/Results.h"
#include "res/Resource.h"
#include "source/Flasher.h"
#include "tools/bootloader/BootProtocol.h"
#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace bench {
namespace {

constexpr int kFlasherPort = 13;
constexpr const char* kFirmwareFile = "508231.005";

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
        const int errors =
            open((folder / "flasher.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FlasherSurroundings surroundings;
        std::string messages;
        surroundings.showMessage = [&messages](const std::string& text) { messages += text; };
        surroundings.programFolder = programFolder.string();
        surroundings.tempFolder = folder.string() + "/";
        surroundings.streams.input = nothing;
        surroundings.streams.output = nothing;
        surroundings.streams.error = errors;

        const std::int64_t start = NowNs();
        const FlasherResult result =
            RunFlasher(kFirmwareFile, kFlasherPort, connectSpeed, transferSpeed,
                       kUpdateCompletionLimitMs, res::ids::kUpdateFailed, surroundings);
        run.seconds = static_cast<double>(NowNs() - start) * 1e-9;
        run.phase = relay.Observed();
        close(nothing);
        close(errors);
        if (result != FlasherResult::Succeeded) {
            std::ifstream in(folder / "flasher.err");
            run.failure =
                "the flasher failed: " + messages + " " +
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
        Note("6",
             "The whole-run rows include what surrounds the data: the Sync at the connect speed, "
             "the switch "
             "to the transfer speed, the receiver's 300 ms erase, the verify and the start of the "
             "new "
             "firmware; the goal is held against the block writes, where the data crosses the "
             "line.");
        for (const Case& c : cases) {
            const FlashRun run = Flash(c.connect, c.transfer);
            const std::string speed = std::to_string(c.transfer);
            if (!run.ok) {
                state.SkipWithError((speed + ": " + run.failure).c_str());
                continue;
            }
            const double lineRate = c.transfer / 10.0;
            const double writeSeconds =
                static_cast<double>(run.phase.verifyNs - run.phase.firstWriteNs) * 1e-9;
            const double writeRate =
                static_cast<double>(run.imageBytes - run.phase.firstBlock) / writeSeconds;
            const double wholeRate = static_cast<double>(run.imageBytes) / run.seconds;
            Record({"6",
                    "flasher at " + speed + ", block writes (" +
                        std::to_string(run.phase.writeFrames) + " blocks, " +
                        Fixed(writeSeconds, 2) + " s)",
                    Fixed(writeRate, 0) + " B/s", "line rate " + Fixed(lineRate, 0) + " B/s",
                    Fixed(100 * writeRate / lineRate, 1) + " %", "≥ 90 % of line rate",
                    writeRate >= 0.9 * lineRate ? Verdict::Met : Verdict::Missed});
            Record({"6",
                    "flasher at " + speed + ", whole run (" + std::to_string(run.imageBytes) +
                        "-byte image, " + Fixed(run.seconds, 2) + " s from start to result)",
                    Fixed(wholeRate, 0) + " B/s", "line rate " + Fixed(lineRate, 0) + " B/s",
                    Fixed(100 * wholeRate / lineRate, 1) + " %", "", Verdict::Info});
            if (writeRate < 0.9 * lineRate) {
                Note("6", "At " + speed + " bit/s the block writes reached " +
                              Fixed(100 * writeRate / lineRate, 1) +
                              " % of the line rate: prog.exe sends one block, then waits for its "
                              "reply before the "
                              "next, so every block pays the reply and the turn-around on top of "
                              "its framing. Two "
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
