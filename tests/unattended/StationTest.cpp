// reflasher station as a child process: four simulated receivers at once, each outcome right and
// each run in a temporary folder of its own; and Ctrl+C in the middle of four flashes.
#include <signal.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "tests/unattended/BenchFixture.h"
#include "tests/unattended/Child.h"

namespace {

namespace fs = std::filesystem;
using bench_test::Child;
using bench_test::Named;
using nlohmann::json;

class Station : public bench_test::BenchTest {
protected:
    std::unique_ptr<Child> station(const std::vector<std::string>& ports, std::vector<std::string> extra,
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
    const std::vector<std::string> ports = {healthy.SlavePath(), slow.SlavePath(), weak.SlavePath(), bricked.SlavePath()};
    const std::string record = tempDir + "/station.jsonl";
    const auto run = station(ports, {"--record", record, "--restore", "white"});
    EXPECT_EQ(run->exitCode(), 10) << run->output();  // the first port that did not succeed: low battery

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
    EXPECT_EQ(Named(events, "station_run").size(), 5u);  // the bricked port's second run restored it

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
    const std::vector<json> lines = recordLines(record);
    ASSERT_EQ(lines.size(), 5u);  // four ports, the bricked one twice (no receiver, then restored)
    std::multiset<std::string> outcomes;
    for (const json& l : lines) outcomes.insert(l["outcome"]);
    EXPECT_EQ(outcomes, (std::multiset<std::string>{"updated", "updated", "low-battery", "no-receiver", "restored"}));
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
        for (std::size_t at = 0; (at = out.find("holding the write for a test", at)) != std::string::npos; ++at) ++count;
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
