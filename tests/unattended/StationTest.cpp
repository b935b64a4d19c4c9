// reflasher station as a child process: four simulated receivers at once, each outcome right and
// each run in a temporary folder of its own; and Ctrl+C in the middle of four flashes.
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "service/Sha256.h"
#include "tests/unattended/BenchFixture.h"
#include "tests/unattended/Child.h"

namespace {

namespace fs = std::filesystem;
using bench_test::Child;
using bench_test::Named;
using nlohmann::json;

class Station : public bench_test::BenchTest {
  protected:
    std::unique_ptr<Child> station(const std::vector<std::string>& ports,
                                   std::vector<std::string> extra,
                                   std::vector<std::string> env = {}) {
        std::string list;
        for (const std::string& p : ports) list += (list.empty() ? "" : ",") + p;
        std::vector<std::string> args = {bench_test::Reflasher(), "station", "--ports", list};
        args.insert(args.end(), extra.begin(), extra.end());
        env.push_back("TMPDIR=" + tempDir);
        return std::make_unique<Child>(args, env);
    }
    std::vector<json> recordLines(const std::string& path) {
        std::vector<json> lines;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
        return lines;
    }
};

TEST_F(Station, FourReceiversAtOnceEachWithItsOwnOutcome) {
    sim::DeviceState at9600, lowBattery, noFirmware;
    at9600.ownBaud = 9600;
    at9600.serialPrefix = "ABC";
    lowBattery.batteryLevel = 3000;
    noFirmware.bricked = true;
    sim::ReceiverSim& healthy = receiver({});
    sim::ReceiverSim& slow = receiver(at9600);
    sim::ReceiverSim& weak = receiver(lowBattery);
    sim::ReceiverSim& bricked = receiver(noFirmware);
    const std::vector<std::string> ports = {healthy.SlavePath(), slow.SlavePath(), weak.SlavePath(),
                                            bricked.SlavePath()};
    const std::string record = tempDir + "/station.jsonl";
    const auto run = station(ports, {"--record", record, "--restore", "white", "--operator",
                                     "Anna Weber", "--batch", "B-17"});
    EXPECT_EQ(run->exitCode(), 10)
        << run->output();  // the first port that did not succeed: low battery

    const std::vector<json> events = run->events();
    const json summary = Named(events, "station_summary").at(0);
    std::vector<std::pair<std::string, int>> finals;
    for (const json& p : summary["ports"]) finals.emplace_back(p["outcome"], p["exit_code"]);
    EXPECT_EQ(finals, (std::vector<std::pair<std::string, int>>{
                          {"updated", 0}, {"updated", 0}, {"low-battery", 10}, {"restored", 0}}));
    EXPECT_EQ(summary["succeeded"], 3);
    EXPECT_EQ(healthy.Device().firmwareVersion, "169-508231-005");
    EXPECT_EQ(slow.Device().firmwareVersion, "169-508231-005");
    EXPECT_EQ(weak.Device().firmwareVersion, "169-508231-004");
    EXPECT_FALSE(bricked.Device().bricked);
    EXPECT_EQ(bricked.Device().firmwareVersion, "169-508231-005");

    // Every run in a folder of its own (the restore reuses its port's), all gone afterwards.
    std::set<std::string> folders;
    std::map<std::string, std::string> folderOfPort;
    for (const json& e : Named(events, "station_run")) {
        const std::string folder = e["temp_folder"];
        const std::string port = e["port"];
        EXPECT_TRUE(!folderOfPort.count(port) || folderOfPort[port] == folder);
        folderOfPort[port] = folder;
        folders.insert(folder);
        EXPECT_FALSE(fs::exists(folder));
    }
    EXPECT_EQ(folders.size(), 4u);
    EXPECT_EQ(Named(events, "station_run").size(),
              5u);  // the bricked port's second run restored it

    // Each port's own events name its own device and speeds: nothing of another run's.
    for (const json& outcome : Named(events, "outcome")) {
        const std::string device = outcome["device"];
        if (device == slow.SlavePath()) {
            EXPECT_EQ(outcome["speed"], 9600);
            EXPECT_EQ(outcome["serial"], "ABC12345678");
        } else if (device == healthy.SlavePath()) {
            EXPECT_EQ(outcome["speed"], 19200);
            EXPECT_EQ(outcome["transfer_speed"], 115200);
        }
    }
    // The record: every line, every field, in the documented order.
    const std::vector<json> lines = recordLines(record);
    ASSERT_EQ(lines.size(), 5u);  // four ports, the bricked one twice (no receiver, then restored)
    const std::vector<std::string> fields = {"format",
                                             "time",
                                             "end_time",
                                             "host",
                                             "wizard_version",
                                             "operator",
                                             "batch",
                                             "port",
                                             "device",
                                             "device_target",
                                             "station_port",
                                             "road",
                                             "speed",
                                             "transfer_speed",
                                             "serial",
                                             "old_version",
                                             "new_version",
                                             "confirmed_version",
                                             "confirmed_serial",
                                             "battery",
                                             "external_power",
                                             "firmware",
                                             "firmware_sha256",
                                             "flasher_result",
                                             "flasher_last_words",
                                             "flasher_left_running",
                                             "message",
                                             "outcome",
                                             "exit_code",
                                             "total_ms",
                                             "flasher_ms",
                                             "confirm_ms"};
    const std::string image = *Sha256OfFile((bench_test::BinFolder() / "508231.005").string());
    std::multiset<std::string> outcomes;
    for (const json& l : lines) {
        SCOPED_TRACE(l.dump());
        std::vector<std::string> keys;
        for (auto it = l.begin(); it != l.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(std::multiset<std::string>(keys.begin(), keys.end()),
                  std::multiset<std::string>(fields.begin(), fields.end()));
        const std::string outcome = l["outcome"];
        outcomes.insert(outcome);
        const bool flashed = outcome == "updated" || outcome == "restored";
        const auto place = std::find(ports.begin(), ports.end(), l["device"]) - ports.begin();
        EXPECT_EQ(l["format"], 2);
        EXPECT_LE(l["time"].get<std::string>(), l["end_time"].get<std::string>());
        EXPECT_FALSE(l["host"].get<std::string>().empty());
        EXPECT_FALSE(l["wizard_version"].get<std::string>().empty());
        EXPECT_EQ(l["operator"], "Anna Weber");
        EXPECT_EQ(l["batch"], "B-17");
        EXPECT_EQ(l["port"], 1);
        EXPECT_EQ(l["station_port"], place + 1);
        EXPECT_EQ(l["device_target"],
                  fs::canonical(ports.at(static_cast<std::size_t>(place))).string());
        EXPECT_EQ(l["road"], outcome == "restored" ? "restore" : "update");
        EXPECT_EQ(l["speed"].is_null(), outcome == "no-receiver");
        EXPECT_EQ(l["transfer_speed"].is_null(), !flashed);
        EXPECT_EQ(l["serial"].is_null(), outcome == "no-receiver" || outcome == "restored");
        EXPECT_EQ(l["old_version"], l["serial"].is_null() ? json() : json("169-508231-004"));
        EXPECT_EQ(l["new_version"], flashed ? json("005") : json());
        EXPECT_EQ(l["confirmed_version"], flashed ? json("169-508231-005") : json());
        EXPECT_EQ(l["confirmed_serial"],
                  flashed ? json(place == 1 ? "ABC12345678" : "VIZ12345678") : json());
        EXPECT_EQ(l["battery"].is_null(), l["serial"].is_null());
        EXPECT_EQ(l["external_power"].is_null(), l["serial"].is_null());
        EXPECT_EQ(l["firmware"], flashed ? json("508231.005") : json());
        EXPECT_EQ(l["firmware_sha256"], flashed ? json(image) : json());
        EXPECT_EQ(l["flasher_result"], flashed ? json("succeeded") : json());
        EXPECT_TRUE(l["flasher_last_words"].is_null());
        EXPECT_TRUE(l["flasher_left_running"].is_null());
        EXPECT_EQ(l["message"].is_null(), flashed);
        EXPECT_EQ(l["exit_code"], flashed ? 0 : outcome == "low-battery" ? 10 : 11);
        EXPECT_GE(l["total_ms"].get<int>(),
                  l["flasher_ms"].get<int>() + l["confirm_ms"].get<int>());
        EXPECT_EQ(l["flasher_ms"].get<int>() > 0, flashed);
        EXPECT_EQ(l["confirm_ms"].get<int>() > 0, flashed);
    }
    EXPECT_EQ(outcomes, (std::multiset<std::string>{"updated", "updated", "low-battery",
                                                    "no-receiver", "restored"}));
    EXPECT_FALSE(bench_test::AnyProcessIn(tempDir + "/"));
}

TEST_F(Station, CtrlCStopsEveryFlashCleanlyAndRecordsItAsInterrupted) {
    std::vector<std::string> ports;
    for (int i = 0; i < 4; ++i) ports.push_back(receiver({}).SlavePath());
    const std::string record = tempDir + "/station.jsonl";
    // Every prog.exe holds after its first block, so that all four are mid-write when Ctrl+C comes.
    const auto run = station(ports, {"--record", record}, {"REFLASHER_PROG_HOLD_AFTER=1"});
    ASSERT_TRUE(run->waitForOutput([](const std::string& out) {
        std::size_t count = 0;
        for (std::size_t at = 0;
             (at = out.find("holding the write for a test", at)) != std::string::npos; ++at)
            ++count;
        return count == 4;
    })) << run->output();
    std::vector<pid_t> pids;
    for (const json& e : Named(run->events(), "station_run")) pids.push_back(e["pid"].get<pid_t>());
    ASSERT_EQ(pids.size(), 4u);

    kill(run->pid(), SIGINT);
    EXPECT_EQ(run->exitCode(), 130) << run->output();
    const std::vector<json> events = run->events();
    const json summary = Named(events, "station_summary").at(0);
    EXPECT_TRUE(summary["interrupted"].get<bool>());
    for (const json& p : summary["ports"]) {
        EXPECT_EQ(p["outcome"], "interrupted");
        EXPECT_EQ(p["exit_code"], 143);  // each run was told with SIGTERM
    }
    const std::vector<json> lines = recordLines(record);
    ASSERT_EQ(lines.size(), 4u);
    for (const json& l : lines) {
        EXPECT_EQ(l["outcome"], "interrupted");
        EXPECT_EQ(l["flasher_result"], "failed");  // the flasher was stopped, not left running
    }
    // Nothing is left: no run, no flasher in any of the runs' folders.
    for (pid_t pid : pids) EXPECT_NE(kill(pid, 0), 0) << pid;
    EXPECT_FALSE(bench_test::AnyProcessIn(tempDir + "/"));
}

}  // namespace
