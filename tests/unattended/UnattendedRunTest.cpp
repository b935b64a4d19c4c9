// reflasher --unattended as a child process against simulated receivers (in this process, on
// pseudo-terminals) and the stand-in prog.exe: every exit code through the simulator's faults,
// the JSON stream field by field, the confirmation, the record file. The two outcomes that need
// a shortened limit or another program folder (21, 22) run in-process through RunUnattended.
#include <fcntl.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "res/Strings.h"
#include "service/Sha256.h"
#include "service/UnattendedRun.h"
#include "tests/unattended/BenchCases.h"
#include "tests/unattended/BenchFixture.h"
#include "tests/unattended/Child.h"

namespace {

namespace fs = std::filesystem;
using bench_test::Child;
using bench_test::Named;
using nlohmann::json;

class Unattended : public bench_test::BenchTest {
  protected:
    // reflasher --unattended --json --port `port` `extra`..., in our temporary folder, with no COM
    // port mapped beforehand (the device becomes COM 1).
    std::unique_ptr<Child> start(const std::string& port, std::vector<std::string> extra = {},
                                 std::vector<std::string> env = {},
                                 std::function<void()> inChild = {}) {
        std::vector<std::string> args = {bench_test::Reflasher(), "--unattended", "--json",
                                         "--port", port};
        args.insert(args.end(), extra.begin(), extra.end());
        env.insert(env.end(), {"TMPDIR=" + tempDir, "REFLASHER_COM1=", "REFLASHER_COM2=",
                               "REFLASHER_COM3=", "REFLASHER_COM4="});
        return std::make_unique<Child>(args, env, std::move(inChild));
    }
    std::string lastRecordLine(const std::string& path) {
        std::ifstream in(path);
        std::string line, last;
        while (std::getline(in, line)) last = line;
        return last;
    }
};

// A receiver as receiver-sim's options (--battery N, --fault NAME, --version TEXT) make it.
sim::DeviceState DeviceFromOptions(const std::string& options) {
    sim::DeviceState device;
    std::istringstream words(options);
    for (std::string option, value; words >> option >> value;) {
        if (option == "--battery") device.batteryLevel = std::stoi(value);
        if (option == "--version") device.firmwareVersion = value;
        if (option == "--fault") {
            EXPECT_TRUE(sim::ParseFault(value, device.fault)) << value;
        }
    }
    return device;
}

const std::regex kUtcTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

TEST_F(Unattended, EveryExitCodeThroughTheSimulatorsFaults) {
    const std::vector<bench_cases::ExitCase>& cases = bench_cases::kExitCases;
    const std::string record = tempDir + "/record.jsonl";
    // All at once, each on a receiver of its own: the runs never meet (private folders).
    std::vector<sim::ReceiverSim*> sims;
    std::vector<std::unique_ptr<Child>> runs;
    for (const bench_cases::ExitCase& c : cases) {
        sim::ReceiverSim* s = c.receiver ? &receiver(DeviceFromOptions(c.receiver)) : nullptr;
        sims.push_back(s);
        // The first (healthy) one writes the record that is compared with Windows'.
        std::vector<std::string> extra;
        if (runs.empty())
            extra = {"--record", record, "--operator", "Anna Weber", "--batch", "B-17"};
        runs.push_back(start(s ? s->SlavePath() : tempDir + "/no-such-device", extra));
    }
    // A device path longer than the engine takes is refused, never cut to its start (a receiver).
    const std::string cut = receiver(sim::DeviceState{}).SlavePath();
    auto tooLong = start(std::string(PATH_MAX - 1 - cut.size(), '/') + cut + "x");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const bench_cases::ExitCase& c = cases[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runs[i]->exitCode(), c.exitCode) << runs[i]->output();
        const std::vector<json> events = runs[i]->events();
        const std::vector<json> outcome = Named(events, "outcome");
        ASSERT_EQ(outcome.size(), 1u) << runs[i]->output();
        EXPECT_EQ(outcome[0]["outcome"], c.outcome);
        EXPECT_EQ(outcome[0]["exit_code"], c.exitCode);
        const std::vector<json> boxes = Named(events, "message");
        if (c.message == 0) {
            EXPECT_TRUE(boxes.empty()) << runs[i]->output();
        } else {
            ASSERT_EQ(boxes.size(), 1u) << runs[i]->output();  // answered once, then the run left
            EXPECT_EQ(boxes[0]["string"], c.message);
            EXPECT_EQ(boxes[0]["text"].get<std::string>().rfind(res::LoadString(c.message), 0), 0u);
        }
        if (sims[i] != nullptr && *c.versionAfter != '\0') {
            EXPECT_EQ(sims[i]->Device().firmwareVersion, c.versionAfter);
        }
    }
    // The record: the same line Windows writes for this road, apart from where and when.
    const json line = json::parse(lastRecordLine(record));
    EXPECT_EQ(
        bench_cases::WithoutPlaceAndTime(line),
        bench_cases::UpdateRecord(REFLASHER_VERSION,
                                  *Sha256OfFile((bench_test::BinFolder() / "508231.005").string())))
        << line.dump();
    // The confirmation saw what the receiver runs: the old version, or the new one after a wait.
    const json mismatch = Named(runs[7]->events(), "confirmation").at(0);
    EXPECT_EQ(mismatch["result"], "mismatch");
    EXPECT_EQ(mismatch["found"], "169-508231-004");
    EXPECT_EQ(mismatch["expected"], "005");
    const json slow = Named(runs[8]->events(), "confirmation").at(0);
    EXPECT_EQ(slow["result"], "confirmed");
    EXPECT_GT(slow["attempts"].get<int>(), 1);  // silent at first while the new firmware starts
    const json other = Named(runs[9]->events(), "confirmation").at(0);
    EXPECT_EQ(other["result"], "other-receiver");
    EXPECT_EQ(other["expected_serial"], "VIZ12345678");
    EXPECT_EQ(other["found_serial"], "VIZ12355678");
    EXPECT_TRUE(Named(runs[10]->events(), "flasher_started").empty());  // current: nothing flashed
    // The port's device and why it could not be opened, under message 108.
    EXPECT_NE(Named(runs[3]->events(), "message")
                  .at(0)["text"]
                  .get<std::string>()
                  .find("no-such-device: No such file or directory"),
              std::string::npos);
    EXPECT_EQ(tooLong->exitCode(), 12) << tooLong->output();
    EXPECT_NE(Named(tooLong->events(), "message")
                  .at(0)["text"]
                  .get<std::string>()
                  .find("longer than 4095 bytes"),
              std::string::npos);
}

TEST_F(Unattended, JsonStreamOfAnUpdateAt9600FieldByField) {
    sim::DeviceState device;
    device.ownBaud = 9600;
    device.batteryLevel = 3700;
    device.externalPower = true;
    sim::ReceiverSim& r = receiver(device);
    const auto run = start(r.SlavePath());
    ASSERT_EQ(run->exitCode(), 0) << run->output();
    const std::vector<json> events = run->events();
    for (const json& e : events) {
        EXPECT_TRUE(std::regex_match(e.at("time").get<std::string>(), kUtcTime)) << e;
        EXPECT_EQ(e.at("device"), r.SlavePath()) << e;
    }
    std::vector<std::string> pages, statuses;
    for (const json& e : Named(events, "page")) pages.push_back(e["page"]);
    for (const json& e : Named(events, "status")) statuses.push_back(e["text"]);
    // After the flash the connecting page's template comes back while the receiver is asked again,
    // at the speed it answered at first.
    EXPECT_EQ(pages, (std::vector<std::string>{"Welcome", "Choose Connection", "Connecting",
                                               "Receiver Information", "Connecting",
                                               "Update Successful"}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Connecting at 19200...", "Connecting at 9600...",
                                                  "Getting receiver information...",
                                                  "Connecting at 9600..."}));

    const json receiverEvent = Named(events, "receiver").at(0);
    EXPECT_EQ(receiverEvent["port"], 1);
    EXPECT_EQ(receiverEvent["speed"], 9600);
    EXPECT_EQ(receiverEvent["serial"], "VIZ12345678");
    EXPECT_EQ(receiverEvent["version"], "169-508231-004");
    EXPECT_EQ(receiverEvent["battery"], 3700);
    EXPECT_EQ(receiverEvent["external_power"], 1);

    const json started = Named(events, "flasher_started").at(0);
    EXPECT_EQ(started["firmware"], "508231.005");
    EXPECT_EQ(started["port"], 1);
    EXPECT_EQ(started["connect_speed"], 9600);
    EXPECT_EQ(started["transfer_speed"], 9600);
    EXPECT_EQ(started["limit_ms"], 240000);
    EXPECT_EQ(
        started["command_line"],
        "prog.exe \"" + (bench_test::BinFolder() / "508231.005").string() + "\" 1 P 9600 9600");
    const std::vector<json> progress = Named(events, "flasher_progress");
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i]["percent"], progress[i - 1]["percent"]);
    EXPECT_EQ(progress.back()["percent"], 100);
    EXPECT_EQ(progress.back()["done"], progress.back()["total"]);
    const json ended = Named(events, "flasher_ended").at(0);
    EXPECT_EQ(ended["result"], "succeeded");
    EXPECT_GT(ended["duration_ms"].get<int>(), 500);

    const json confirmation = Named(events, "confirmation").at(0);
    EXPECT_EQ(confirmation["result"], "confirmed");
    EXPECT_EQ(confirmation["speed"], 9600);  // where it answered before
    EXPECT_EQ(confirmation["found"], "169-508231-005");

    const json outcome = events.back();
    EXPECT_EQ(outcome["event"], "outcome");
    EXPECT_EQ(outcome["outcome"], "updated");
    EXPECT_EQ(outcome["exit_code"], 0);
    EXPECT_EQ(outcome["port"], 1);
    EXPECT_EQ(outcome["road"], "update");
    EXPECT_EQ(outcome["speed"], 9600);
    EXPECT_EQ(outcome["transfer_speed"], 9600);
    EXPECT_EQ(outcome["serial"], "VIZ12345678");
    EXPECT_EQ(outcome["old_version"], "169-508231-004");
    EXPECT_EQ(outcome["new_version"], "005");
    EXPECT_EQ(outcome["confirmed_version"], "169-508231-005");
    EXPECT_EQ(outcome["battery"], 3700);
    EXPECT_EQ(outcome["external_power"], 1);
    EXPECT_EQ(outcome["flasher_result"], "succeeded");
    EXPECT_TRUE(outcome["message"].is_null());
    EXPECT_EQ(outcome["flasher_ms"], ended["duration_ms"]);
    EXPECT_GE(outcome["total_ms"].get<int>(),
              outcome["flasher_ms"].get<int>() + outcome["confirm_ms"].get<int>());
}

TEST_F(Unattended, RestoreOfAReceiverWithoutFirmwareWithTheGreyDesign) {
    sim::DeviceState device;
    device.bricked = true;
    sim::ReceiverSim& r = receiver(device);
    const auto run = start(r.SlavePath(), {"--restore", "grey"});
    ASSERT_EQ(run->exitCode(), 0) << run->output();
    const std::vector<json> events = run->events();
    std::vector<std::string> pages;
    for (const json& e : Named(events, "page")) pages.push_back(e["page"]);
    // The port selection page shows itself again as the chain unwinds after a restore.
    EXPECT_EQ(pages,
              (std::vector<std::string>{"Welcome", "Choose Connection", "Restore", "Connecting",
                                        "Update Successful", "Choose Connection"}));
    EXPECT_TRUE(Named(events, "receiver").empty());  // the restore road never asks the receiver
    EXPECT_TRUE(Named(events, "flasher_started")
                    .at(0)["command_line"]
                    .get<std::string>()
                    .ends_with("\" 1 P 9600 9600"));
    EXPECT_EQ(events.back()["outcome"], "restored");
    EXPECT_EQ(events.back()["confirmed_version"], "169-508231-005");
    EXPECT_FALSE(r.Device().bricked);
}

TEST_F(Unattended, RecordFileTakesFourParallelRunsWholeAndIsRefusedBeforeAnythingWhenUnusable) {
    const std::string record = tempDir + "/bench.jsonl";
    {
        // An earlier writer's line, and the remains of one that died mid-line: both stay.
        std::ofstream earlier(record);
        earlier << "{\"earlier\":1}\n{\"cut\":";
    }
    std::vector<std::unique_ptr<Child>> runs;
    std::set<std::string> devices;
    for (int i = 0; i < 4; ++i) {
        sim::DeviceState device;
        device.serialValue = 0x1000 + static_cast<std::uint32_t>(i);
        sim::ReceiverSim& r = receiver(device);
        devices.insert(r.SlavePath());
        runs.push_back(start(r.SlavePath(), {"--record", record}));
    }
    for (auto& run : runs) EXPECT_EQ(run->exitCode(), 0) << run->output();

    std::ifstream in(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "{\"earlier\":1}");
    EXPECT_EQ(lines[1], "{\"cut\":");
    std::set<std::string> recorded;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const json line = json::parse(lines[i]);  // whole: every line parses
        EXPECT_TRUE(std::regex_match(line["time"].get<std::string>(), kUtcTime));
        EXPECT_FALSE(line["host"].get<std::string>().empty());
        EXPECT_EQ(line["outcome"], "updated");
        EXPECT_EQ(line["exit_code"], 0);
        EXPECT_EQ(line["old_version"], "169-508231-004");
        EXPECT_EQ(line["confirmed_version"], "169-508231-005");
        EXPECT_EQ(line["speed"], 19200);
        EXPECT_EQ(line["transfer_speed"], 115200);
        EXPECT_EQ(line["battery"], 3900);
        EXPECT_EQ(line["external_power"], 0);
        EXPECT_GT(line["flasher_ms"].get<int>(), 0);
        recorded.insert(line["device"].get<std::string>());
    }
    EXPECT_EQ(recorded, devices);

    // A folder, a device and a file in a folder that does not exist: refused, the receiver never
    // hears a byte.
    sim::ReceiverSim& untouched = receiver({});
    fs::create_directory(tempDir + "/folder");
    for (const std::string& bad : {tempDir + "/folder", std::string("/dev/null"),
                                   tempDir + "/missing/bench.jsonl", std::string()}) {
        SCOPED_TRACE(bad);
        const auto run = start(untouched.SlavePath(), {"--record", bad});
        EXPECT_EQ(run->exitCode(), 2);
        EXPECT_NE(run->output().find("the record file is refused, nothing was done"),
                  std::string::npos)
            << run->output();
        EXPECT_TRUE(run->events().empty());
    }
    EXPECT_EQ(untouched.Count().received, 0u);
    EXPECT_EQ(untouched.Device().firmwareVersion, "169-508231-004");
}

TEST(Sha256, KnownVectors) {
    auto of = [](const std::string& text) {
        Sha256 sum;
        sum.add(text.data(), text.size());
        return sum.hex();
    };
    EXPECT_EQ(of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 million;  // in pieces that do not fall on the 64-byte blocks
    const std::string piece(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.add(piece.data(), piece.size());
    EXPECT_EQ(million.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(Unattended, OutputThatGoesAwayEndsNeitherTheRunNorItsRecord) {
    sim::ReceiverSim& r = receiver({});
    const std::string record = tempDir + "/bench.jsonl";
    // Standard output is a pipe whose reader has gone (`| head -1`); standard error stays ours.
    const auto run = start(r.SlavePath(), {"--record", record}, {}, [] {
        int p[2];
        if (pipe(p) == 0) close(p[0]), dup2(p[1], 1), close(p[1]);
    });
    EXPECT_EQ(run->exitCode(), 0) << run->output();
    EXPECT_EQ(r.Device().firmwareVersion, "169-508231-005");
    const std::string said = run->output();
    EXPECT_NE(said.find("the events cannot be written (Broken pipe); the run goes on"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("cannot be written", said.find("cannot be written") + 1),
              std::string::npos);  // once
    EXPECT_EQ(json::parse(lastRecordLine(record))["outcome"], "updated");
}

TEST_F(Unattended, RecordAppendOnAFullDiskLeavesTheFileAsItWasAndEndsWith30) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string small = tempDir + "/small";
    fs::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    // The file fills the file system's two pages but for 200 bytes: the line stops midway.
    const std::string record = small + "/bench.jsonl";
    const std::string before = "{\"earlier\":\"" + std::string(8192 - 200 - 15, 'x') + "\"}\n";
    std::ofstream(record) << before;
    sim::ReceiverSim& r = receiver({});
    const auto run = start(r.SlavePath(), {"--record", record});
    EXPECT_EQ(run->exitCode(), 30) << run->output();
    EXPECT_NE(run->output().find("No space left on device; it came to updated (exit code 0)"),
              std::string::npos)
        << run->output();
    std::ifstream in(record);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              before);
}

TEST_F(Unattended, AFlasherThatWillNotEndIsLeftToFinishSaidAndRecordedAndItsFolderGoesLater) {
    const std::string record = tempDir + "/bench.jsonl";
    sim::ReceiverSim& stubborn = receiver({});
    sim::ReceiverSim& orphaned = receiver({});
    sim::ReceiverSim& healthy = receiver({});
    auto holding = [](const std::string& out) {
        return out.find("holding the write for a test") != std::string::npos;
    };
    // A flasher that ignores SIGTERM: the run ends of the signal after the grace period, and says
    // which process it leaves running.
    const auto first = start(stubborn.SlavePath(), {"--record", record},
                             {"REFLASHER_PROG_HOLD_AFTER=1", "REFLASHER_PROG_IGNORE_TERM=1"});
    ASSERT_TRUE(first->waitForOutput(holding)) << first->output();
    kill(first->pid(), SIGTERM);
    EXPECT_EQ(first->exitCode(), 143) << first->output();
    const json line = json::parse(lastRecordLine(record));
    EXPECT_EQ(line["outcome"], "interrupted");
    ASSERT_TRUE(line["flasher_left_running"].is_number()) << line;
    const auto left = line["flasher_left_running"].get<pid_t>();
    EXPECT_EQ(kill(left, 0), 0);
    EXPECT_EQ(Named(first->events(), "flasher_left_running").at(0)["pid"], left);

    // Ctrl+C to the run alone, not to its flasher: the run passes it on all the same, the flasher
    // ends within the grace period, and the attempt is interrupted with SIGINT's code.
    sim::ReceiverSim& interrupted = receiver({});
    const auto told =
        start(interrupted.SlavePath(), {"--record", record}, {"REFLASHER_PROG_HOLD_AFTER=1"});
    ASSERT_TRUE(told->waitForOutput(holding)) << told->output();
    kill(told->pid(), SIGINT);
    EXPECT_EQ(told->exitCode(), 130) << told->output();
    const json toldLine = json::parse(lastRecordLine(record));
    EXPECT_EQ(toldLine["outcome"], "interrupted");
    EXPECT_TRUE(toldLine["flasher_left_running"].is_null()) << toldLine;
    EXPECT_NE(told->output().find("Stopped by the operator during the writing"), std::string::npos)
        << told->output();

    // The wizard killed outright: its flasher goes on and holds the port, which a new run says.
    const auto second = start(orphaned.SlavePath(), {}, {"REFLASHER_PROG_HOLD_AFTER=1"});
    ASSERT_TRUE(second->waitForOutput(holding)) << second->output();
    kill(second->pid(), SIGKILL);
    second->exitCode();
    const auto third = start(orphaned.SlavePath());
    EXPECT_EQ(third->exitCode(), 12) << third->output();
    EXPECT_NE(third->output().find("in use by another program"), std::string::npos)
        << third->output();

    // Once no flasher works in it any more, the next start removes the killed wizard's folder.
    kill(left, SIGKILL);
    for (pid_t pid : bench_test::ProcessesIn(tempDir + "/")) kill(pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bench_test::AnyProcessIn(tempDir + "/") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(start(healthy.SlavePath())->exitCode(), 0);
    for (const auto& entry : fs::directory_iterator(tempDir)) {
        EXPECT_NE(entry.path().filename().string().rfind("reflasher-", 0), 0u) << entry.path();
    }
}

// In-process, where the surroundings can be shortened: a flasher past its limit (21), and a
// missing flasher or firmware file (22).
class UnattendedInProcess : public Unattended {
  protected:
    int runOnce(const std::string& port, WizardSurroundings surroundings, std::string& output) {
        for (int n = 1; n <= 4; ++n) unsetenv(("REFLASHER_COM" + std::to_string(n)).c_str());
        UnattendedOptions options;
        options.port = port;
        options.json = true;
        std::FILE* out = std::tmpfile();
        const int code = RunUnattended(options, std::move(surroundings), out, stderr);
        std::rewind(out);
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            output.append(buffer, n);
        std::fclose(out);
        return code;
    }
};

TEST_F(UnattendedInProcess, FlasherPastItsLimitIs21AndIsNotLeftRunning) {
    sim::ReceiverSim& r = receiver({});
    WizardSurroundings surroundings;
    surroundings.flasher.tempFolder = tempDir + "/";
    surroundings.updateCompletionLimitMs = 1500;
    setenv("REFLASHER_PROG_HOLD_AFTER", "0", 1);  // prog.exe holds before its first block
    std::string output;
    const int code = runOnce(r.SlavePath(), surroundings, output);
    unsetenv("REFLASHER_PROG_HOLD_AFTER");
    unsetenv("REFLASHER_COM1");
    EXPECT_EQ(code, 21) << output;
    EXPECT_NE(output.find("\"string\":" + std::to_string(res::ids::kTimedOut)), std::string::npos)
        << output;
    EXPECT_NE(output.find("\"outcome\":\"flasher-timed-out\""), std::string::npos) << output;
    EXPECT_FALSE(bench_test::AnyProcessIn(tempDir + "/"));  // the held flasher was ended
    EXPECT_TRUE(fs::is_empty(tempDir));                     // and its folder removed
}

TEST_F(UnattendedInProcess, MissingFlasherOrFirmwareIs22) {
    fs::create_directory(tempDir + "/empty");
    fs::create_directory(tempDir + "/no-firmware");
    fs::create_symlink(bench_test::BinFolder() / "prog.exe", tempDir + "/no-firmware/prog.exe");
    for (const auto& [folder, message] : std::map<std::string, int>{
             {"empty", res::ids::kFlasherNotFound}, {"no-firmware", res::ids::kFirmwareNotFound}}) {
        SCOPED_TRACE(folder);
        sim::ReceiverSim& r = receiver({});
        WizardSurroundings surroundings;
        surroundings.flasher.programFolder = tempDir + "/" + folder;
        surroundings.flasher.tempFolder = tempDir + "/";
        std::string output;
        EXPECT_EQ(runOnce(r.SlavePath(), surroundings, output), 22) << output;
        unsetenv("REFLASHER_COM1");
        EXPECT_NE(output.find("\"string\":" + std::to_string(message)), std::string::npos)
            << output;
        EXPECT_NE(output.find("\"outcome\":\"firmware-or-flasher-missing\""), std::string::npos)
            << output;
    }
}

}  // namespace
