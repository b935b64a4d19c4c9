#include "service/UnattendedRun.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "res/Strings.h"
#include "link/Conversation.h"
#include "source/platform/FlasherProcess.h"
#include "service/EventLog.h"
#include "service/FlasherProgress.h"
#include "service/PortArgument.h"
#include "service/RecordFile.h"
#include "service/RunReport.h"
#include "service/Sha256.h"
#include "service/UnattendedBackend.h"
#include "service/platform/ServiceOs.h"
#include "source/platform/StopSignal.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::ordered_json;

// How long a flasher left running past its limit gets to end when the run is over.
constexpr std::uint32_t kLingeringGraceMs = 5000;
constexpr int kConnectingStatus = res::idc::kMessage;  // the connecting page's status line
constexpr int kConnectingPage = res::idd::kConnecting;

std::int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- The stop signals ---------------------------------------------------------------------------
// The watch notes the first signal; the policy and the confirmation look at it. SIGINT is also
// turned into SIGTERM for this process, which a running flasher's watch (RunFlasher) takes and
// passes on, so that Ctrl+C stops the flasher too even when only this process got it.
class StopSignals {
  public:
    StopSignals() : watch_(Options()) { current_ = &watch_; }
    ~StopSignals() { current_ = nullptr; }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    static int taken() { return current_ != nullptr ? current_->noted() : 0; }

  private:
    static stop_signal::Options Options() {
        stop_signal::Options options;
        options.interruptAlsoTerminates = true;
        return options;
    }

    stop_signal::Watch watch_;
    static inline const stop_signal::Watch* current_ = nullptr;
};

// ---- The flasher's console ----------------------------------------------------------------------
// The flasher's output and errors go into a pipe; a thread of ours reads it and reports its lines
// and its progress bar ("Writing [###...]  12288/32796 bytes ...") as events.
class ConsoleReader {
  public:
    ConsoleReader(EventLog& events, flasher_os::StandardStreams& console)
        : events_(events),
          capture_(service_os::CaptureFlasherConsole(
              console, [this](const char* bytes, std::size_t n) { add(bytes, n); })) {}
    ~ConsoleReader() {
        capture_.reset();  // its thread has taken the flasher's last words
        if (!segment_.empty()) take(segment_, true);
    }
    ConsoleReader(const ConsoleReader&) = delete;
    ConsoleReader& operator=(const ConsoleReader&) = delete;

  private:
    // On the capture's thread.
    void add(const char* bytes, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = bytes[i];
            if (c == '\r' || c == '\n') {
                take(segment_, c == '\n');
                segment_.clear();
            } else if (segment_.size() < 4096) {
                segment_ += c;
            }
        }
    }

    void take(const std::string& segment, bool wholeLine) {
        if (const std::optional<FlasherProgress> progress = ParseFlasherProgress(segment)) {
            if (progress->percent != lastPercent_) {
                lastPercent_ = progress->percent;
                events_.emit("flasher_progress", {{"done", progress->done},
                                                  {"total", progress->total},
                                                  {"percent", progress->percent}});
            }
            return;
        }
        if (wholeLine && segment.find_first_not_of(' ') != std::string::npos) {
            events_.emit("flasher_output", {{"line", VisibleText(segment)}});
        }
    }

    EventLog& events_;
    std::string segment_;   // the capture's thread only, until it has ended
    int lastPercent_ = -1;  // likewise
    std::unique_ptr<service_os::FlasherCapture> capture_;
};

// ---- Judging the run from what the wizard showed
// -------------------------------------------------

// True when `text` is string `id`'s text (formatted, where it has one placeholder), possibly with
// further lines of ours under it.
bool IsString(const std::string& text, int id) {
    // The failure messages hold no line break of their own: what follows one is ours.
    const std::string table = res::LoadString(id);
    const std::string head = text.substr(0, text.find("\r\n\r\n"));
    const std::size_t placeholder = table.find("%s");
    if (placeholder == std::string::npos) return head == table;
    const std::string before = table.substr(0, placeholder), after = table.substr(placeholder + 2);
    return head.size() >= before.size() + after.size() && head.starts_with(before) &&
           head.ends_with(after);
}

struct Failure {
    int string;
    Outcome outcome;
};
constexpr Failure kFailures[] = {
    {res::ids::kLowBattery, Outcome::LowBattery},
    {res::ids::kNoReceiver, Outcome::NoReceiver},
    {res::ids::kPortNotOpened, Outcome::PortNotOpened},
    {res::ids::kNoInformation, Outcome::InfoUnreadable},
    {res::ids::kUnsupportedAntenna, Outcome::NoFirmware},
    {res::ids::kUpdateFailed, Outcome::FlasherFailed},
    {res::ids::kRestoreFailed, Outcome::FlasherFailed},
    {res::ids::kTimedOut, Outcome::FlasherTimedOut},
    {res::ids::kFirmwareNotFound, Outcome::FlasherMissing},
    {res::ids::kFlasherNotFound, Outcome::FlasherMissing},
};

const char* FlasherResultName(FlasherResult result) {
    switch (result) {
        case FlasherResult::Succeeded:
            return "succeeded";
        case FlasherResult::NotStarted:
            return "not-started";
        case FlasherResult::EndedEarly:
            return "ended-early";
        case FlasherResult::TimedOut:
            return "timed-out";
        case FlasherResult::Failed:
            return "failed";
    }
    return "?";
}

Outcome OutcomeOfFlasher(FlasherResult result) {
    switch (result) {
        case FlasherResult::Succeeded:
            break;
        case FlasherResult::NotStarted:
        case FlasherResult::EndedEarly:
            return Outcome::FlasherMissing;
        case FlasherResult::TimedOut:
            return Outcome::FlasherTimedOut;
        case FlasherResult::Failed:
            return Outcome::FlasherFailed;
    }
    return Outcome::Incomplete;
}

Outcome Confirm(const Identification& found, RunReport& report, EventLog& events);

// Watches the wizard for the run: reports each event and notes what decides the outcome.
class RunWatch : public ui::unattended::Observer {
  public:
    // `targetVersion` tells the version the wizard would install for a serial number (empty for
    // none); with `skipCurrent`, a receiver that runs it already is left alone.
    RunWatch(EventLog& events, RunReport& report,
             std::function<std::string(const std::string&)> targetVersion, bool skipCurrent,
             std::string programFolder)
        : events_(events),
          report_(report),
          targetVersion_(std::move(targetVersion)),
          skipCurrent_(skipCurrent),
          programFolder_(std::move(programFolder)) {}

    void pageShown(const ui::Window& page) override {
        events_.emit("page", {{"page", page.title}});
    }
    void textChanged(const ui::Window& page, int controlId, const std::string& text) override {
        if (page.tmpl != nullptr && page.tmpl->id == kConnectingPage &&
            controlId == kConnectingStatus) {
            events_.emit("status", {{"page", page.title}, {"text", text}});
        }
    }
    void messageBox(const ui::Window& box) override {
        json fields = {{"caption", box.title}, {"text", box.text}, {"string", nullptr}};
        for (const Failure& f : kFailures) {
            if (!IsString(box.text, f.string)) continue;
            fields["string"] = f.string;
            fail(f.outcome, box.text.substr(0, box.text.find("\r\n\r\n")));
            // RunFlasher puts what the flasher said of its failure on a line of its own.
            const std::string said = "\r\n\r\nThe flasher reported: ";
            const std::size_t at = box.text.find(said);
            if (f.outcome == Outcome::FlasherFailed && at != std::string::npos) {
                report_.flasherLastWords = box.text.substr(at + said.size());
            }
            break;
        }
        events_.emit("message", std::move(fields));
    }
    void inputRefused(const ui::Window& window, const ui::Input&, const char* reason) override {
        events_.emit("policy", {{"page", window.title}, {"refused", reason}});
    }

    void receiverFound(const ReceiverFound& found) {
        report_.connectSpeed = found.connectSpeed;
        report_.serialNumber = found.serialNumber;
        report_.versionBefore = found.firmwareVersion;
        report_.externalPower = found.externalPower;
        report_.batteryLevel = found.batteryLevel;
        events_.emit("receiver", {{"port", found.port},
                                  {"speed", found.connectSpeed},
                                  {"serial", found.serialNumber},
                                  {"version", found.firmwareVersion},
                                  {"battery", found.batteryLevel},
                                  {"external_power", found.externalPower}});
        const std::string target = targetVersion_(found.serialNumber);
        const std::string& v = found.firmwareVersion;
        if (skipCurrent_ && !target.empty() && v.size() >= 3 && v.substr(v.size() - 3) == target) {
            current_ = true;
            report_.newVersion = target;
            events_.emit("current", {{"version", v}, {"target", target}});
        }
    }
    void flasherStarted(const FlasherRun& run) {
        flasherStart_ = Clock::now();
        report_.firmwareFile = run.firmwareFile;
        report_.newVersion = VersionFromFileName(run.firmwareFile);
        report_.transferSpeed = run.transferSpeed;
        if (report_.road == "restore") report_.connectSpeed = run.connectSpeed;
        // Read once, just before the flasher reads it: which image this receiver was given.
        const std::string folder =
            programFolder_.empty() ? flasher_os::OwnFolder() : programFolder_;
        report_.firmwareSha256 = Sha256OfFile(folder + "/" + run.firmwareFile);
        events_.emit("flasher_started",
                     {{"command_line", run.commandLine},
                      {"firmware", run.firmwareFile},
                      {"port", run.port},
                      {"connect_speed", run.connectSpeed},
                      {"transfer_speed", run.transferSpeed},
                      {"limit_ms", run.completionLimitMs},
                      {"firmware_sha256",
                       report_.firmwareSha256 ? json(*report_.firmwareSha256) : json(nullptr)}});
    }
    void flasherFinished(FlasherResult result) {
        report_.flasherMs = MsSince(flasherStart_);
        report_.flasherResult = FlasherResultName(result);
        if (result == FlasherResult::Succeeded) {
            flashed_ = true;
        } else {
            fail(OutcomeOfFlasher(result), std::nullopt);
        }
        events_.emit("flasher_ended",
                     {{"result", FlasherResultName(result)}, {"duration_ms", report_.flasherMs}});
    }

    void flashChecked(const Identification& found) {
        const Outcome outcome = Confirm(found, report_, events_);
        if (outcome != Outcome::Updated && outcome != Outcome::Restored)
            fail(outcome, std::nullopt);
    }
    void flasherLeftRunning(long pid) {
        report_.flasherLeftRunning = pid;
        events_.emit("flasher_left_running",
                     {{"pid", pid},
                      {"why",
                       "it had not ended when the grace period after SIGTERM was over; "
                       "it is left to finish its write, and holds the port until then"}});
    }

    bool flashed() const { return flashed_; }
    bool current() const { return current_; }
    std::optional<Outcome> failure() const { return failure_; }

  private:
    // The first failure decides: the policy leaves right after it.
    void fail(Outcome outcome, std::optional<std::string> message) {
        if (failure_) return;
        failure_ = outcome;
        if (message) report_.message = *message;
    }

    EventLog& events_;
    RunReport& report_;
    Clock::time_point flasherStart_ = Clock::now();
    std::function<std::string(const std::string&)> targetVersion_;
    bool skipCurrent_;
    std::string programFolder_;
    std::optional<Outcome> failure_;
    bool flashed_ = false;
    bool current_ = false;
};

// Judges what the receiver answered when the pages identified it again after the flash.
Outcome Confirm(const Identification& found, RunReport& report, EventLog& events) {
    report.confirmMs = found.durationMs;
    const std::string expected = report.newVersion.value_or("");
    const std::string serialBefore =
        report.road == "update" ? report.serialNumber.value_or("") : std::string();
    const AfterFlash verdict = JudgeAfterFlash(found, expected, serialBefore);
    if (found.answered) {
        report.versionAfter = found.firmwareVersion;
        report.serialAfter = found.serialNumber;
    }
    const char* result = "confirmed";
    switch (verdict) {
        case AfterFlash::Confirmed:
            break;
        case AfterFlash::NoAnswer:
            result = StopSignals::taken() != 0 ? "interrupted" : "no-answer";
            break;
        case AfterFlash::OtherVersion:
            result = "mismatch";
            break;
        case AfterFlash::OtherReceiver:
            result = "other-receiver";
            break;
    }
    events.emit(
        "confirmation",
        {{"result", result},
         {"expected", expected},
         {"found", found.answered ? json(found.firmwareVersion) : json(nullptr)},
         {"expected_serial", report.serialNumber ? json(*report.serialNumber) : json(nullptr)},
         {"found_serial", found.answered ? json(found.serialNumber) : json(nullptr)},
         {"speed", found.answered ? json(found.speed) : json(nullptr)},
         {"attempts", found.attempts},
         {"duration_ms", found.durationMs}});
    if (verdict == AfterFlash::Confirmed)
        return report.road == "restore" ? Outcome::Restored : Outcome::Updated;
    if (std::strcmp(result, "interrupted") == 0) return Outcome::Interrupted;
    if (verdict == AfterFlash::NoAnswer) {
        report.message = "The receiver did not answer after the flash.";
    } else {
        report.message = AfterFlashLine(verdict, found, expected, serialBefore, {});
    }
    if (verdict == AfterFlash::OtherReceiver) return Outcome::OtherReceiver;
    return Outcome::ConfirmationFailed;
}

}  // namespace

bool RecordableText(const std::string& text) {
    if (text.empty() || text.size() > 64) return false;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        // The length of the sequence this byte begins; continuation bytes must follow.
        const std::size_t length = c < 0x80             ? 1
                                   : (c & 0xE0) == 0xC0 ? 2
                                   : (c & 0xF0) == 0xE0 ? 3
                                   : (c & 0xF8) == 0xF0 ? 4
                                                        : 0;
        if (length == 0 || i + length > text.size() || c < 0x20 || c == 0x7F || c == 0xC0 ||
            c == 0xC1)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)
            return false;  // C1 controls
        i += length;
    }
    return true;
}

int RunUnattended(const UnattendedOptions& options, WizardSurroundings surroundings, std::FILE* out,
                  std::FILE* err) {
    // Whoever reads our output may go away (`| head -1`, a station that was killed): writes then
    // fail and are said once, but the run, its record and its exit code go on. For the whole
    // run, not only while its stop signals are watched.
    service_os::IgnoreBrokenPipe();
    const Clock::time_point start = Clock::now();
    RunReport report;
    report.host = service_os::HostName();
    report.wizardVersion = REFLASHER_VERSION;
    report.operatorName = options.operatorName;
    report.batch = options.batch;
    report.stationPort = options.stationPort;
    report.road = options.restore ? "restore" : "update";

    // Everything that can be refused is refused before the receiver is touched.
    PortChoice port;
    std::string error;
    if (!ChoosePort(options.port, port, error)) {
        std::fprintf(err, "%s: %s\n", options.programName.c_str(), error.c_str());
        return kExitUsage;
    }
    for (const auto& [name, value] :
         {std::pair{"--operator", options.operatorName}, std::pair{"--batch", options.batch}}) {
        if (value && !RecordableText(*value)) {
            std::fprintf(err, "%s: %s must be 1 to 64 bytes of text without control characters\n",
                         options.programName.c_str(), name);
            return kExitUsage;
        }
    }
    report.com = port.com;
    report.device = port.device;
    report.deviceTarget = service_os::DeviceTarget(port.device);
    RecordFile record;
    if (options.record && !record.open(*options.record, error)) {
        std::fprintf(err, "%s: the record file is refused, nothing was done: %s\n",
                     options.programName.c_str(), error.c_str());
        return kExitUsage;
    }

    EventLog events(out, options.json, err);
    events.setDevice(port.device);
    // The version the receiver information page would install, chosen as the page chooses.
    auto targetVersion = [&surroundings](const std::string& serial) -> std::string {
        if (serial.empty()) return {};
        return VersionFromFileName(surroundings.firmwareForSerial(serial));
    };
    RunWatch watch(events, report, targetVersion, !options.restore && !options.force,
                   surroundings.flasher.programFolder);
    // Until the record is written: a signal now is noted, it does not cut the line.
    const StopSignals stopSignals;
    {
        ConsoleReader console(events, surroundings.flasher.streams);
        surroundings.firstPortIndex = port.com - 1;
        surroundings.receiverFound = [&watch](const ReceiverFound& found) {
            watch.receiverFound(found);
        };
        surroundings.flasher.started = [&watch](const FlasherRun& run) {
            watch.flasherStarted(run);
        };
        // The pages identify the receiver again after a flash the flasher reported as a success;
        // the bench holds what they found to its own stricter rule (silence is no confirmation).
        surroundings.checkLimitMs = options.confirm ? options.confirmLimitMs : 0;
        if (options.confirm) {
            surroundings.flashChecked = [&watch](AfterFlash, const Identification& found) {
                watch.flashChecked(found);
            };
        }
        surroundings.flasher.leftRunning = [&watch](long pid) { watch.flasherLeftRunning(pid); };
        auto finishedBefore = std::move(surroundings.flasher.finished);
        surroundings.flasher.finished = [&watch, finishedBefore](FlasherResult result) {
            watch.flasherFinished(result);
            if (finishedBefore) finishedBefore(result);
        };

        ui::unattended::Policy policy;
        policy.portIndex = port.com - 1;
        policy.road = options.restore ? ui::unattended::Policy::Road::Restore
                                      : ui::unattended::Policy::Road::Update;
        policy.design = options.design;
        // A receiver that runs the target version already: the policy leaves at its page.
        ui::unattended::UnattendedBackend backend(
            policy, watch, [&watch] { return StopSignals::taken() != 0 || watch.current(); });
        try {
            ReflasherApp app(backend, options.programName, std::move(surroundings));
            app.initInstance();
        } catch (const std::exception& e) {
            events.emit("policy", {{"error", e.what()}});
        }
        // Nobody is left to watch a flasher that ran past its limit: it is told to end; one that
        // does not is left to finish its write, and said so.
        long stillRunning = 0;
        if (!EndLingeringFlasher(kLingeringGraceMs, &stillRunning))
            watch.flasherLeftRunning(stillRunning);

        if (StopSignals::taken() != 0) {
            report.outcome = Outcome::Interrupted;
        } else if (watch.failure()) {
            report.outcome = *watch.failure();
        } else if (watch.current()) {
            report.outcome = Outcome::Current;
        } else if (watch.flashed()) {
            report.outcome = options.restore ? Outcome::Restored : Outcome::Updated;
        }
        if (StopSignals::taken() != 0) report.outcome = Outcome::Interrupted;
        report.signal = StopSignals::taken();
    }

    report.totalMs = MsSince(start);
    report.endedAt = RunReport::Clock::now();
    events.emit("outcome", report.summary());
    if (record.isOpen() &&
        !record.append(report.recordLine().dump(-1, ' ', false, json::error_handler_t::replace),
                       error)) {
        // The attempt itself is told on standard error too, since its line is not in the record.
        std::fprintf(err,
                     "%s: the attempt could not be recorded: %s; it came to %s (exit code %d)\n",
                     options.programName.c_str(), error.c_str(), OutcomeName(report.outcome),
                     report.exitCode());
        events.emit("record_failed", {{"error", error}, {"exit_code", kExitRecordNotWritten}});
        return kExitRecordNotWritten;
    }
    return report.exitCode();
}
