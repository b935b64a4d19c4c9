// A station of four, and one of sixteen (a bench's 16-port USB hub), against one receiver alone:
// the whole unattended run (connecting sequence, flash at 115200 after connecting at 19200,
// confirmation) as the reflasher program does it, each receiver behind a relay that paces the
// flasher's bytes at line speed (PacedRelay), as the flasher benchmark does. The runs alternate,
// so both see the same machine. For sixteen, the program's processes (the station, its runs and
// their flashers) are also sampled: their CPU time while flashers run, and the memory they hold.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
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

// What a program's processes (it and all it started) used while it ran, from /proc every 50 ms.
struct TreeUse {
    double flashCpuSeconds = 0;   // CPU time of all of them from the first look that saw a flasher
    double flashWallSeconds = 0;  // running to the last, and the wall time between those looks
    double peakBytes = 0;         // the most memory all of them held at one look (proportional set
                           // size: pages they share, such as libraries, shared out among them)
    double ownPeakBytes = 0;  // the program's own process at most (its VmHWM)
    double harnessCpuSeconds =
        0;  // this benchmark's own (simulators, relays, this watch) meanwhile
};

struct Timed {
    bool ok = false;
    std::string failure;
    double seconds = 0;
    TreeUse use;
};

double ProcessCpuSeconds() {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    return static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
           static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) * 1e-6;
}

struct ProcessLook {
    bool flasher = false;
    double cpuSeconds = 0;  // its own and that of the children it has reaped
};

// `pid` as its stat file tells it; false when it is gone.
bool LookAt(pid_t pid, ProcessLook& look) {
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)),
                               std::istream_iterator<std::string>());
    if (f.size() < 15) return false;  // f[0] is field 3 (state)
    look.flasher = stat.substr(open + 1, close - open - 1) == "prog.exe";
    look.cpuSeconds =
        (std::stod(f[11]) + std::stod(f[12]) + std::stod(f[13]) + std::stod(f[14])) / tick;
    return true;
}

// `root` and everything it started that still runs, through each thread's list of children
// (cheaper than reading every process of the machine, which would weigh on what is measured).
std::vector<pid_t> Tree(pid_t root) {
    std::vector<pid_t> tree = {root};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        std::error_code ec;
        for (const auto& task :
             fs::directory_iterator("/proc/" + std::to_string(tree[i]) + "/task", ec)) {
            std::ifstream children(task.path() / "children");
            for (pid_t child; children >> child;) tree.push_back(child);
        }
    }
    return tree;
}

// Samples the processes of `root` until `done`; their memory at every fourth look.
void WatchTree(pid_t root, const std::atomic<bool>& done, TreeUse& use) {
    double firstCpu = -1, lastCpu = 0;
    std::int64_t firstNs = 0, lastNs = 0;
    for (int looks = 0; !done; ++looks) {
        double cpu = 0, resident = 0;
        bool flashing = false;
        for (pid_t pid : Tree(root)) {
            ProcessLook look;
            if (!LookAt(pid, look)) continue;
            cpu += look.cpuSeconds;
            flashing = flashing || look.flasher;
            if (looks % 4 != 0) continue;
            std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
            for (std::string line; std::getline(rollup, line);) {
                if (line.rfind("Pss:", 0) == 0) resident += std::stod(line.substr(4)) * 1024;
            }
        }
        use.peakBytes = std::max(use.peakBytes, resident);
        std::ifstream status("/proc/" + std::to_string(root) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0)
                use.ownPeakBytes = std::max(use.ownPeakBytes, std::stod(line.substr(6)) * 1024);
        }
        if (flashing) {
            if (firstCpu < 0) firstCpu = cpu, firstNs = NowNs();
            lastCpu = cpu;
            lastNs = NowNs();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (firstCpu >= 0) {
        use.flashCpuSeconds = lastCpu - firstCpu;
        use.flashWallSeconds = static_cast<double>(lastNs - firstNs) * 1e-9;
    }
}

// Runs reflasher with `args` (output to `log`), in `folder` as its temporary folder; its exit
// code, or -1 when it could not be started.
int RunReflasher(const std::vector<std::string>& args, const std::string& folder,
                 const std::string& log, TreeUse* use = nullptr) {
    const std::string program =
        (fs::read_symlink("/proc/self/exe").parent_path() / "reflasher").string();
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
    const int started =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return -1;
    std::atomic<bool> done{false};
    std::thread watch;
    if (use != nullptr) watch = std::thread([&] { WatchTree(pid, done, *use); });
    // Reaped only after the watch has stopped, so that its last look still finds the process.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    done = true;
    if (watch.joinable()) watch.join();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// `count` receivers at 19200, each behind its relay; one of them alone runs `--unattended`,
// more than one run as a station.
Timed Run(std::size_t count, bool watch = false) {
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
            receivers.push_back(std::make_unique<sim::ReceiverSim>(
                sim::DeviceState{}, sim::MakeReceiverWithBootloader()));
            relays.push_back(std::make_unique<PacedRelay>(receivers.back()->SlavePath()));
            ports += (ports.empty() ? "" : ",") + relays.back()->FlasherPath();
        }
        const std::string log = folder + "/output.log";
        const std::vector<std::string> args =
            count == 1 ? std::vector<std::string>{"--unattended", "--port", ports}
                       : std::vector<std::string>{"station", "--ports", ports};
        const std::int64_t start = NowNs();
        const double harnessBefore = ProcessCpuSeconds();
        const int code = RunReflasher(args, folder, log, watch ? &timed.use : nullptr);
        timed.use.harnessCpuSeconds = ProcessCpuSeconds() - harnessBefore;
        timed.seconds = static_cast<double>(NowNs() - start) * 1e-9;
        bool flashed = true;
        for (const auto& r : receivers)
            flashed = flashed && r->Device().firmwareVersion == "169-508231-005";
        std::vector<PacedRelay::Phase> phases;
        for (const auto& relay : relays) phases.push_back(relay->Observed());
        if (code != 0 || !flashed) {
            std::ifstream in(log);
            timed.failure =
                "exit code " + std::to_string(code) + ": " +
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
                    state.SkipWithError(
                        (std::to_string(count) + " receivers: " + t.failure).c_str());
                    return;
                }
                (count == 1 ? alone : four).push_back(t.seconds);
            }
        }
        const double one = Median(alone), station = Median(four);
        const double ratio = station / one;
        Record({"7",
                "station of 4 receivers, flash at 115200 (" + std::to_string(kRounds) +
                    " rounds, median)",
                Fixed(station, 2) + " s", "one receiver alone " + Fixed(one, 2) + " s",
                Fixed(ratio, 2) + " ×", "≤ 1.2 × one alone",
                ratio <= 1.2 ? Verdict::Met : Verdict::Missed});
        Note("7",
             "Each run is the whole of `reflasher --unattended` (one alone) or `reflasher station` "
             "(four at "
             "once): start, connecting sequence at 19200, flash at 115200 through a relay that "
             "paces the "
             "flasher's bytes at line speed, confirmation. Alone: " +
                 Fixed(alone[0], 2) + ", " + Fixed(alone[1], 2) + ", " + Fixed(alone[2], 2) +
                 " s; four: " + Fixed(four[0], 2) + ", " + Fixed(four[1], 2) + ", " +
                 Fixed(four[2], 2) + " s.");
        state.counters["alone_s"] = one;
        state.counters["four_s"] = station;
        state.counters["ratio"] = ratio;
    }
}

std::string Megabytes(double bytes) {
    return Fixed(bytes / 1048576.0, 1) + " MB";
}

// CPU time per receiver while flashers ran, and as a share of a core over that time.
std::string FlashCpu(const TreeUse& use, std::size_t receivers) {
    const double perReceiver = use.flashCpuSeconds / static_cast<double>(receivers);
    const double share = use.flashWallSeconds > 0 ? 100.0 * perReceiver / use.flashWallSeconds : 0;
    return Fixed(perReceiver * 1000, 0) + " ms (" + Fixed(share, 1) + " % of a core over " +
           Fixed(use.flashWallSeconds, 2) + " s)";
}

void StationOfSixteen(benchmark::State& state) {
    constexpr std::size_t kPorts = 16;
    for (auto _ : state) {
        std::vector<double> alone, sixteen;
        std::vector<TreeUse> aloneUse, sixteenUse;
        for (int round = 0; round < kRounds; ++round) {
            for (const std::size_t count : {std::size_t{1}, kPorts}) {
                const Timed t = Run(count, true);
                if (!t.ok) {
                    state.SkipWithError(
                        (std::to_string(count) + " receivers: " + t.failure).c_str());
                    return;
                }
                (count == 1 ? alone : sixteen).push_back(t.seconds);
                (count == 1 ? aloneUse : sixteenUse).push_back(t.use);
            }
        }
        const double one = Median(alone), station = Median(sixteen);
        const double ratio = station / one;
        // The round whose wall time is the median's, for the figures taken alongside it.
        auto medianRound = [](const std::vector<double>& times, double median) {
            return static_cast<std::size_t>(std::find(times.begin(), times.end(), median) -
                                            times.begin());
        };
        const TreeUse& a = aloneUse[medianRound(alone, one)];
        const TreeUse& b = sixteenUse[medianRound(sixteen, station)];
        Record({"8",
                "station of 16 receivers, flash at 115200 (" + std::to_string(kRounds) +
                    " rounds, median)",
                Fixed(station, 2) + " s", "one receiver alone " + Fixed(one, 2) + " s",
                Fixed(ratio, 2) + " ×", "≤ 1.1 × one alone",
                ratio <= 1.1 ? Verdict::Met : Verdict::Missed});
        Record(
            {"8",
             "station of 16: CPU time per receiver while flashers ran (station, runs and flashers)",
             FlashCpu(b, kPorts), "one alone " + FlashCpu(a, 1), "", "", Verdict::Info});
        Record({"8",
                "station of 16: peak memory of all its processes at once, proportional set size "
                "(the station's own "
                "process at most)",
                Megabytes(b.peakBytes) + " (" + Megabytes(b.ownPeakBytes) + ")",
                "one alone " + Megabytes(a.peakBytes), Fixed(b.peakBytes / a.peakBytes, 1) + " ×",
                "", Verdict::Info});
        std::string times = "Alone:";
        for (double t : alone) times.append(" ").append(Fixed(t, 2));
        times += " s; sixteen:";
        for (double t : sixteen) times.append(" ").append(Fixed(t, 2));
        Note("8", "As row 7, with sixteen receivers, each behind a relay of its own. " + times +
                      " s. This benchmark's own sixteen simulated receivers and relays (and its "
                      "look at /proc) used " +
                      Fixed(b.harnessCpuSeconds, 2) + " s of CPU during the median station run (" +
                      Fixed(a.harnessCpuSeconds, 2) + " s for one alone), on the same two cores.");
        state.counters["alone_s"] = one;
        state.counters["sixteen_s"] = station;
        state.counters["ratio"] = ratio;
    }
}

}  // namespace

BENCHMARK(StationOfFour)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(StationOfSixteen)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace bench
