// A station of four receivers against one receiver alone: the whole unattended run (connecting
// sequence, flash at 115200 after connecting at 19200, confirmation) as the reflasher program
// does it, each receiver behind a relay that paces the flasher's bytes at line speed (PacedRelay),
// as the flasher benchmark does. The runs alternate, so both see the same machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/PacedRelay.h"
#include "bench/Results.h"
#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"

extern char** environ;

namespace bench {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 3;
constexpr std::size_t kStationPorts = 4;

struct Timed {
    bool ok = false;
    std::string failure;
    double seconds = 0;
};

// Runs reflasher with `args` (output to `log`), in `folder` as its temporary folder; its exit
// code, or -1 when it could not be started.
int RunReflasher(const std::vector<std::string>& args, const std::string& folder, const std::string& log) {
    const std::string program = (fs::read_symlink("/proc/self/exe").parent_path() / "reflasher").string();
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.emplace_back(*e);
    }
    env.push_back("TMPDIR=" + folder);
    std::vector<char*> argv, envp;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `count` receivers at 19200, each behind its relay; one of them alone runs `--unattended`,
// more than one run as a station.
Timed Run(std::size_t count) {
    Timed timed;
    char pattern[] = "/tmp/reflasher-bench-station-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        timed.failure = "no temporary folder";
        return timed;
    }
    const std::string folder = pattern;
    {
        std::vector<std::unique_ptr<sim::ReceiverSim>> receivers;
        std::vector<std::unique_ptr<PacedRelay>> relays;
        std::string ports;
        for (std::size_t i = 0; i < count; ++i) {
            receivers.push_back(std::make_unique<sim::ReceiverSim>(sim::DeviceState{}, sim::MakeReceiverWithBootloader()));
            relays.push_back(std::make_unique<PacedRelay>(receivers.back()->SlavePath()));
            ports += (ports.empty() ? "" : ",") + relays.back()->FlasherPath();
        }
        const std::string log = folder + "/output.log";
        const std::vector<std::string> args = count == 1 ? std::vector<std::string>{"--unattended", "--port", ports}
                                                         : std::vector<std::string>{"station", "--ports", ports};
        const std::int64_t start = NowNs();
        const int code = RunReflasher(args, folder, log);
        timed.seconds = static_cast<double>(NowNs() - start) * 1e-9;
        bool flashed = true;
        for (const auto& r : receivers) flashed = flashed && r->Device().firmwareVersion == "169-508231-005";
        std::vector<PacedRelay::Phase> phases;
        for (const auto& relay : relays) phases.push_back(relay->Observed());
        if (code != 0 || !flashed) {
            std::ifstream in(log);
            timed.failure = "exit code " + std::to_string(code) + ": " +
                            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (phases.front().writeFrames < 2) {
            timed.failure = "the relay did not see the block writes";
        } else {
            timed.ok = true;
        }
    }
    fs::remove_all(folder);
    return timed;
}

void StationOfFour(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<double> alone, four;
        for (int round = 0; round < kRounds; ++round) {
            for (const std::size_t count : {std::size_t{1}, kStationPorts}) {
                const Timed t = Run(count);
                if (!t.ok) {
                    state.SkipWithError((std::to_string(count) + " receivers: " + t.failure).c_str());
                    return;
                }
                (count == 1 ? alone : four).push_back(t.seconds);
            }
        }
        const double one = Median(alone), station = Median(four);
        const double ratio = station / one;
        Record({"7", "station of 4 receivers, flash at 115200 (" + std::to_string(kRounds) + " rounds, median)",
                Fixed(station, 2) + " s", "one receiver alone " + Fixed(one, 2) + " s", Fixed(ratio, 2) + " ×",
                "≤ 1.2 × one alone", ratio <= 1.2 ? Verdict::Met : Verdict::Missed});
        Note("7", "Each run is the whole of `reflasher --unattended` (one alone) or `reflasher station` (four at "
                  "once): start, connecting sequence at 19200, flash at 115200 through a relay that paces the "
                  "flasher's bytes at line speed, confirmation. Alone: " +
                      Fixed(alone[0], 2) + ", " + Fixed(alone[1], 2) + ", " + Fixed(alone[2], 2) + " s; four: " +
                      Fixed(four[0], 2) + ", " + Fixed(four[1], 2) + ", " + Fixed(four[2], 2) + " s.");
        state.counters["alone_s"] = one;
        state.counters["four_s"] = station;
        state.counters["ratio"] = ratio;
    }
}

}  // namespace

BENCHMARK(StationOfFour)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace bench
