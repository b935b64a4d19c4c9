#include "bench/Results.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "bench/AllocCounter.h"

namespace bench {

namespace {

std::vector<Row>& Rows() {
    static std::vector<Row> rows;
    return rows;
}

std::vector<std::pair<std::string, std::string>>& Notes() {
    static std::vector<std::pair<std::string, std::string>> notes;
    return notes;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown";
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Met:
            return "met";
        case Verdict::Missed:
            return "**missed**";
        case Verdict::Info:
            return "";
    }
    return "";
}

}  // namespace

void Record(Row row) {
    Rows().push_back(std::move(row));
}

void Note(const std::string& section, const std::string& text) {
    Notes().emplace_back(section, text);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool WriteResults(const std::string& path, const std::string& startLoad, double seconds) {
    std::ostringstream out;
    utsname system{};
    uname(&system);
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    const std::string endLoad = LoadAverage();
    const double load = std::stod(startLoad.substr(0, startLoad.find(' ')));
    const double loadEnd = std::stod(endLoad.substr(0, endLoad.find(' ')));
    char when[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));

    out << "# Benchmark results\n\n";
    out << "Written by `make bench` (`build/release/bin/run-benchmarks bench/RESULTS.md`) on "
        << when << ", release build, in " << Fixed(seconds, 0) << " s.\n\n";
    out << "| machine | |\n|---|---|\n";
    out << "| cores (nproc) | " << cores << " |\n";
    out << "| CPU | " << CpuModel() << " |\n";
    out << "| kernel | " << system.sysname << " " << system.release << " " << system.machine
        << " |\n";
    out << "| load average at start / end | " << startLoad << " / " << endLoad << " |\n";
    out << "| running as | "
        << (geteuid() == 0 ? "root (the engine's reader thread gets real-time priority)"
                           : "a normal user (the engine's reader thread runs at normal priority)")
        << " |\n\n";
    if (load >= 0.5 * static_cast<double>(cores) || loadEnd >= 0.5 * static_cast<double>(cores)) {
        out << "**The machine was loaded while this ran** (load average above half its cores): "
               "absolute figures "
               "are noisy; the ratios, measured side by side in one run with the runs interleaved, "
               "are what count.\n\n";
    } else {
        out << "The machine was quiet while this ran (load average below half its cores).\n\n";
    }

    out << "| # | figure | value | reference | ratio | goal | verdict |\n";
    out << "|---|---|---|---|---|---|---|\n";
    for (const Row& row : Rows()) {
        out << "| " << row.section << " | " << row.figure << " | " << row.value << " | "
            << row.reference << " | " << row.ratio << " | " << row.goal << " | "
            << VerdictText(row.verdict) << " |\n";
    }

    out << "\n## How each figure is taken\n\n";
    out << "- Pseudo-terminal pairs stand in for the serial line: the subject opens the slave "
           "side, a peer thread "
           "works the master side. Engine, raw loop and Boost.Asio each get a pair of their own, "
           "and their runs "
           "alternate, so that all three see the same machine at the same time.\n";
    out << "- Throughput moves the same patterned bytes in 4096-byte pieces and checks every byte "
           "at the far end; "
           "the figure is the median of the runs. The raw loop is a non-blocking descriptor with "
           "`poll`; Boost.Asio "
           "is `serial_port` with blocking `write`/`read_some`; the engine's caller writes with "
           "`CommWrite`, waiting "
           "on the port's transmit-empty event while the 4096-byte transmit ring is full, and "
           "reads with `CommRead`, "
           "waiting on the port's receive event while the receive ring is empty. Every caller "
           "blocks when it cannot "
           "go on, as the raw loop does in `poll`.\n";
    out << "- Latency: one byte at a time with a pause between samples. Transmit: from the call "
           "(`CommWrite` or "
           "`write`) to the peer's `poll` waking on the master side with the byte. Receive: from "
           "the peer's `write` "
           "on the master side to `CommBytesAvailable` reporting it, the caller waiting on the "
           "port's receive event "
           "between looks (the goal row) or polling with a yield between calls (shown for "
           "comparison), against `poll` "
           "on the raw descriptor waking. Percentiles are over up to 2000 samples each (fewer when "
           "a direction's "
           "30 s limit runs out; the rows say how many), taken in alternating blocks of 100.\n";
    out << "- Idle CPU: process CPU time (all threads) over 10 s of wall time with one port open "
           "and no traffic.\n";
    out << "- Heap allocations: every allocation in the process while the step runs, any thread, "
           "counted by a hook "
           "on "
        << AllocHookKind()
        << "; the peer side is a plain descriptor loop that allocates nothing.\n";
    out << "- Connecting sequence: the connecting page's steps, driven against the in-process "
           "simulated receiver; "
           "the floor is what the collection cycles allow (250 ms pauses: two cycles per answered "
           "request, one for "
           "the silent try), the first pause of a collection stretched when the request and reply "
           "bytes at line "
           "speed (10 bits a byte) take longer than it. The bytes cross the line during a "
           "collection's first pause "
           "(the collection sleeps before it looks), so they add to the floor only where they "
           "outlast it; they never "
           "do here. Each case runs three times; the figure is the median. The simulated receiver "
           "answers only at "
           "its own speed: in the 9600 rows the 19200 try goes unanswered first.\n";
    out << "- Flasher: `RunFlasher` starts the stand-in `prog.exe` against the simulated receiver "
           "with its "
           "bootloader. The simulator paces what it sends; a relay between the flasher's port and "
           "the simulator "
           "paces what the flasher sends at the speed the flasher set, so both directions run at "
           "line speed.\n";
    out << "- Station: the reflasher program itself, one run of `reflasher --unattended` against "
           "one simulated "
           "receiver, then `reflasher station` against four, alternating for three rounds; each "
           "receiver sits "
           "behind a pacing relay of its own as in the flasher rows, and every run must end with "
           "exit code 0 and "
           "the receivers running the new firmware. The figure is the wall time from start to "
           "exit, median of the "
           "rounds. Row 8 does the same with sixteen receivers, and looks at the program's "
           "processes (the "
           "station, its runs, their flashers) in /proc every 50 ms: the CPU time they used from "
           "the first look "
           "that saw a flasher to the last, shared out per receiver, and the most memory they held "
           "at one look "
           "(the sum of their proportional set sizes, so that library pages they share count "
           "once); the station's "
           "own peak is its VmHWM. The benchmark's own CPU time meanwhile is in the notes.\n";

    if (!Notes().empty()) {
        out << "\n## Notes\n\n";
        for (const auto& [section, text] : Notes())
            out << "- **" << section << "**: " << text << "\n";
    }

    std::ofstream file(path, std::ios::trunc);
    file << out.str();
    return static_cast<bool>(file);
}

}  // namespace bench
