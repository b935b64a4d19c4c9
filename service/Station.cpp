#include "service/Station.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "service/RecordFile.h"
#include "source/ReceiverInfoDlg.h"
#include "service/RunReport.h"
#include "service/UnattendedRun.h"
#include "service/platform/ServiceOs.h"
#include "source/platform/StopSignal.h"

namespace {

using json = nlohmann::ordered_json;

constexpr int kRedrawMs = 250;

// ---- One port's run ----------------------------------------------------------------------------
struct Run {
    std::string port;
    std::string device;
    std::string tempFolder;
    std::unique_ptr<service_os::RunProcess> process;  // its output is read here
    long pid = -1;
    std::string pending;  // bytes after the last whole line
    bool restoring = false;
    bool done = false;
    bool stopSent = false;
    int exitCode = -1;
    // What the table shows, from the run's events.
    std::string serial = "-", oldVersion = "-", newVersion = "-", battery = "-", phase = "starting";
    std::string progress = "", outcome = "";
    std::string lastNote;  // the last line that was not an event (the run's own errors)
};

std::string LastThree(const std::string& s) {
    return s.size() <= 3 ? s : s.substr(s.size() - 3);
}

std::string Str(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
}

void TakeEvent(Run& run, const json& e) {
    const std::string name = Str(e, "event");
    if (name == "page") {
        run.phase = Str(e, "page");
    } else if (name == "status") {
        run.phase = Str(e, "text");
    } else if (name == "receiver") {
        run.serial = Str(e, "serial");
        run.oldVersion = LastThree(Str(e, "version"));
        run.battery = Str(e, "battery") + (Str(e, "external_power") == "1" ? "+" : "");
    } else if (name == "flasher_started") {
        run.phase = run.restoring ? "restoring" : "flashing";
        run.progress.clear();
    } else if (name == "flasher_progress") {
        run.phase = "Writing...";
        run.progress = Str(e, "percent") + "%";
    } else if (name == "flasher_output") {
        const std::string line = Str(e, "line");
        if (line.ends_with("...")) {
            run.phase = line;
            run.progress.clear();
        }
    } else if (name == "flasher_ended") {
        run.phase = "flasher " + Str(e, "result");
        run.progress.clear();
    } else if (name == "confirmation") {
        run.phase = "confirmation: " + Str(e, "result");
    } else if (name == "outcome") {
        run.outcome = Str(e, "outcome");
        if (!Str(e, "new_version").empty()) run.newVersion = Str(e, "new_version");
        if (!Str(e, "confirmed_version").empty())
            run.newVersion = LastThree(Str(e, "confirmed_version"));
        run.device = Str(e, "device");
        run.phase = "done";
    }
}

bool Start(Run& run, std::size_t place, const StationOptions& options, std::string& why) {
    std::vector<std::string> args = {
        options.program,  "--unattended",       "--json", "--port", run.port,
        "--station-port", std::to_string(place)};
    if (options.record) args.insert(args.end(), {"--record", *options.record});
    if (options.operatorName) args.insert(args.end(), {"--operator", *options.operatorName});
    if (options.batch) args.insert(args.end(), {"--batch", *options.batch});
    if (options.force) args.emplace_back("--force");
    if (run.restoring)
        args.insert(args.end(), {"--restore", options.restoreDesign == 1 ? "grey" : "white"});
    if (!options.confirm) args.emplace_back("--no-confirm");
    args.erase(args.begin());
    run.process = service_os::StartRun({options.program, std::move(args), run.tempFolder}, why);
    if (!run.process) {
        run.pid = -1;
        return false;
    }
    run.pid = run.process->id();
    run.done = false;
    run.stopSent = false;
    run.exitCode = -1;
    run.phase = run.restoring ? "restore starting" : "starting";
    run.progress.clear();
    run.outcome.clear();
    return true;
}

// ---- The table
// -----------------------------------------------------------------------------------
class Table {
  public:
    Table(std::FILE* out, const std::vector<std::string>& ports)
        : out_(out), live_(service_os::TakesCursorMovement(out)) {
        for (const std::string& port : ports)
            names_.push_back(VisibleText(port.rfind("/dev/", 0) == 0 ? port.substr(5) : port));
        // What every name shares in front and at the end (by-id names of one kind of adapter
        // differ only inside): it goes first when a name must be shortened.
        if (names_.size() > 1) {
            sharedHead_ = sharedTail_ = names_[0].size();
            for (const std::string& n : names_) {
                std::size_t h = 0, t = 0;
                while (h < std::min(n.size(), names_[0].size()) && n[h] == names_[0][h]) ++h;
                while (t < std::min(n.size(), names_[0].size()) &&
                       n[n.size() - 1 - t] == names_[0][names_[0].size() - 1 - t])
                    ++t;
                sharedHead_ = std::min(sharedHead_, h);
                sharedTail_ = std::min(sharedTail_, t);
            }
        }
    }

    // Fits 80 columns: the phase while a run goes (with the flash's progress), its outcome and
    // exit code once it has ended, in one column wide enough for the longest outcome.
    void draw(const std::vector<Run>& runs, const std::string& footer) {
        const int width = service_os::ConsoleWidth(out_, 80);
        constexpr const char* kRow = "{:<16} {:<11} {:<7} {:<5} {}";
        std::vector<std::string> lines;
        lines.push_back(fmt::format(kRow, "PORT", "SERIAL", "VERSION", "BATT", "STATUS"));
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Run& r = runs[i];
            std::string status = r.outcome.empty()
                                     ? r.phase + (r.progress.empty() ? "" : " " + r.progress)
                                     : r.outcome;
            if (r.done && r.exitCode >= 0) status += fmt::format(" ({})", r.exitCode);
            lines.push_back(fmt::format(kRow, shortPort(i), Cut(r.serial, 11),
                                        fmt::format("{:<3}>{}", r.oldVersion, r.newVersion),
                                        Cut(r.battery, 5), status));
        }
        if (!footer.empty()) lines.push_back(footer);
        if (!live_) {
            // A console without cursor movement: each row that changed, as a line of its own.
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (i < shown_.size() && shown_[i] == lines[i]) continue;
                const std::string line = Cut(lines[i], static_cast<std::size_t>(width - 1)) + "\n";
                std::fwrite(line.data(), 1, line.size(), out_);
            }
            std::fflush(out_);
            shown_ = std::move(lines);
            return;
        }
        std::string screen;
        if (drawn_ > 0)
            screen += fmt::format("\x1b[{}A", drawn_);  // back to the table's first line
        for (const std::string& line : lines)
            screen += "\r\x1b[2K" + Cut(line, static_cast<std::size_t>(width - 1)) + "\n";
        std::fwrite(screen.data(), 1, screen.size(), out_);
        std::fflush(out_);
        drawn_ = static_cast<int>(lines.size());
    }

    // Port `i`'s name (without "/dev/") in 16 columns. A longer one is shortened from the middle:
    // the part that tells it from the other ports is kept whole where it fits, with as much of
    // what surrounds it as there is room for, and "~" where something was left out.
    std::string shortPort(std::size_t i) const {
        constexpr std::size_t kWidth = 16;
        const std::string& n = names_[i];
        if (n.size() <= kWidth) return n;
        const std::size_t begin = std::min(sharedHead_, n.size());
        const std::size_t end = std::max(begin, n.size() - std::min(sharedTail_, n.size()));
        if (end - begin >= kWidth - 2) return n.substr(begin, 7) + "~" + n.substr(end - 8, 8);
        const std::size_t room = kWidth - 2 - (end - begin);
        std::size_t right = std::min(n.size() - end, room - std::min(begin, room / 2));
        const std::size_t left = std::min(begin, room - right);
        right = std::min(n.size() - end, room - left);
        return (left < begin ? "~" : "") + n.substr(begin - left, end - begin + left + right) +
               (end + right < n.size() ? "~" : "");
    }

  private:
    static std::string Cut(const std::string& s, std::size_t n) {
        return s.size() <= n ? s : s.substr(0, n);
    }
    std::FILE* out_;
    bool live_;                       // redrawn in place; otherwise changed rows as plain lines
    std::vector<std::string> shown_;  // the rows last written as plain lines
    std::vector<std::string> names_;  // the ports as shown, control characters made visible
    std::size_t sharedHead_ = 0, sharedTail_ = 0;
    int drawn_ = 0;
};

void EmitStation(std::FILE* out, const json& fields) {
    json event = {{"event", fields.at("event")},
                  {"time", UtcTime(std::chrono::system_clock::now())}};
    for (auto it = fields.begin(); it != fields.end(); ++it) event[it.key()] = it.value();
    const std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace

int RunStation(const StationOptions& options, std::FILE* out, std::FILE* err) {
    // Whoever reads our output may go away: the runs go on, and so does the station.
    service_os::IgnoreBrokenPipe();
    bool outputFailed = false;
    auto noteOutputFailure = [&] {
        if (outputFailed || std::ferror(out) == 0) return;
        outputFailed = true;
        std::fprintf(err, "reflasher station: its output cannot be written; the runs go on\n");
    };
    if (options.ports.empty()) {
        std::fprintf(err, "reflasher station: --ports names no port\n");
        return kExitUsage;
    }
    std::set<std::string> seen;
    for (const std::string& port : options.ports) {
        if (port.empty() || !seen.insert(port).second) {
            std::fprintf(
                err, "reflasher station: --ports: %s\n",
                port.empty() ? "an empty port name" : ("port " + port + " is given twice").c_str());
            return kExitUsage;
        }
    }
    for (const auto& [name, value] :
         {std::pair{"--operator", options.operatorName}, std::pair{"--batch", options.batch}}) {
        if (value && !RecordableText(*value)) {
            std::fprintf(
                err,
                "reflasher station: %s must be 1 to 64 bytes of text without control characters\n",
                name);
            return kExitUsage;
        }
    }
    if (options.record) {
        RecordFile check;
        std::string why;
        if (!check.open(*options.record, why)) {
            std::fprintf(err,
                         "reflasher station: the record file is refused, nothing was done: %s\n",
                         why.c_str());
            return kExitUsage;
        }
    }
    std::string folderError;
    const std::string base = service_os::MakeStationFolder(folderError);
    if (base.empty()) {
        std::fprintf(err, "reflasher station: cannot make a temporary folder: %s\n",
                     folderError.c_str());
        return kExitIncomplete;
    }

    // The stop signals are noted, and wake the loop below.
    stop_signal::Watch signals(stop_signal::Options{});
    std::vector<Run> runs(options.ports.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        Run& run = runs[i];
        run.port = options.ports[i];
        run.device = run.port;
        run.tempFolder = base + "/port-" + std::to_string(i + 1);
        std::string why;
        if (!service_os::MakePrivateFolder(run.tempFolder, why) ||
            !Start(run, i + 1, options, why)) {
            run.done = true;
            run.exitCode = kExitIncomplete;
            run.outcome = "not started: " + why;
            continue;
        }
        if (!options.table) {
            EmitStation(out, {{"event", "station_run"},
                              {"port", run.port},
                              {"pid", run.pid},
                              {"temp_folder", run.tempFolder},
                              {"road", "update"}});
        }
    }

    Table table(out, options.ports);
    int stopSignal = 0;
    auto live = [&] {
        return std::any_of(runs.begin(), runs.end(), [](const Run& r) { return !r.done; });
    };
    while (live()) {
        if (options.table)
            table.draw(runs, stopSignal != 0 ? "stopping: every run was told to end ..." : "");
        std::vector<service_os::RunProcess*> waiting;
        for (const Run& r : runs) {
            if (!r.done) waiting.push_back(r.process.get());
        }
        service_os::WaitForOutput(waiting, kRedrawMs);
        noteOutputFailure();

        if (const int signal = signals.take(); signal != 0 && stopSignal == 0) stopSignal = signal;
        if (stopSignal != 0) {
            for (Run& r : runs) {
                if (!r.done && !r.stopSent && r.process) {
                    r.process->stop();
                    r.stopSent = true;
                }
            }
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            Run& run = runs[i];
            if (run.done) continue;
            char buffer[4096];
            const long n = run.process->read(buffer, sizeof buffer);
            if (n < 0) continue;  // nothing yet
            if (n > 0) {
                run.pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t end;
                while ((end = run.pending.find('\n')) != std::string::npos) {
                    const std::string line = run.pending.substr(0, end);
                    run.pending.erase(0, end + 1);
                    json event = json::parse(line, nullptr, false);
                    if (event.is_object() && event.contains("event")) {
                        TakeEvent(run, event);
                        if (!options.table) std::fprintf(out, "%s\n", line.c_str());
                    } else if (!line.empty()) {
                        run.lastNote = line;
                        if (!options.table)
                            EmitStation(
                                out,
                                {{"event", "station_note"}, {"port", run.port}, {"line", line}});
                    }
                }
                if (!options.table) std::fflush(out);
                continue;
            }
            // The run has closed its output: it has ended (or is about to).
            run.exitCode = run.process->wait();
            run.done = true;
            if (run.outcome.empty()) run.outcome = run.lastNote.empty() ? "ended" : run.lastNote;
            if (!options.table) {
                EmitStation(out, {{"event", "station_run_ended"},
                                  {"port", run.port},
                                  {"pid", run.pid},
                                  {"exit_code", run.exitCode},
                                  {"outcome", run.outcome}});
            }
            // No receiver answered, and a design was given: the receiver may have lost its
            // firmware. A second run restores it.
            if (run.exitCode == kExitNoReceiver && options.restoreDesign >= 0 && !run.restoring &&
                stopSignal == 0) {
                run.restoring = true;
                std::string why;
                if (!Start(run, i + 1, options, why)) {
                    run.done = true;
                    run.exitCode = kExitIncomplete;
                    run.outcome = "restore not started: " + why;
                } else if (!options.table) {
                    EmitStation(out, {{"event", "station_run"},
                                      {"port", run.port},
                                      {"pid", run.pid},
                                      {"temp_folder", run.tempFolder},
                                      {"road", "restore"}});
                }
            }
        }
    }

    int exitCode = kExitDone;
    for (const Run& r : runs) {
        if (r.exitCode != kExitDone) {
            exitCode = r.exitCode;
            break;
        }
    }
    if (stopSignal != 0) exitCode = kExitSignalBase + stopSignal;
    std::error_code ec;
    std::filesystem::remove_all(base, ec);

    const auto succeeded =
        std::count_if(runs.begin(), runs.end(), [](const Run& r) { return r.exitCode == 0; });
    const std::string summary = fmt::format("{} of {} ports succeeded{}", succeeded, runs.size(),
                                            stopSignal != 0 ? " (stopped by a signal)" : "");
    if (options.table) {
        table.draw(runs, summary);
        std::fprintf(out, "exit code %d\n", exitCode);
    } else {
        json ports = json::array();
        for (const Run& r : runs)
            ports.push_back({{"port", r.port}, {"exit_code", r.exitCode}, {"outcome", r.outcome}});
        EmitStation(out, {{"event", "station_summary"},
                          {"ports", ports},
                          {"succeeded", succeeded},
                          {"exit_code", exitCode},
                          {"interrupted", stopSignal != 0}});
    }
    noteOutputFailure();
    return exitCode;
}
