// reflasher-cli.exe, the service bench on Windows, under Wine: the same table of roads the Linux
// suite runs (tests/unattended/BenchCases.h), each against receiver-sim behind a COM port mapped
// to a pseudo-terminal; the port listing; the record compared with the one Linux writes; a station
// of three with one receiver failing; and Ctrl+C in the middle of a station's flashes.
//
// Every program runs with a temporary folder of its own as TMP and TEMP, which must be empty
// afterwards; no reflasher-cli.exe or prog.exe may be left running.
#include <windows.h>
// <windows.h> makes LoadString a macro (LoadStringA); the string table's is meant here.
#undef LoadString

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "res/Strings.h"
#include "service/Sha256.h"
#include "tests/unattended/BenchCases.h"
#include "tests/win32/WizardDriver.h"
#include "tests/wine/RemotePty.h"

namespace {

using bench_cases::Named;
using nlohmann::json;

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(),
                                    int(wide.size())));
    return wide;
}

// reflasher-cli.exe with `arguments`, its output and errors on a pipe that a thread of ours
// drains, TMP and TEMP set to `temp`, and `environment` ("NAME=value") added.
class CliRun {
  public:
    CliRun(const std::string& arguments, const std::string& temp,
           const std::vector<std::string>& environment = {}, DWORD flags = 0) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
        std::wstring block;
        for (const std::string& entry : Environment(temp, environment))
            block += Wide(entry) + L'\0';
        block += L'\0';
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nothing;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        std::wstring line =
            L"\"" + Wide(driver::OwnFolder()) + L"\\reflasher-cli.exe\" " + Wide(arguments);
        PROCESS_INFORMATION started{};
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT | flags, block.data(), nullptr, &startup,
                           &started)) {
            process_ = started.hProcess;
            id_ = started.dwProcessId;
            CloseHandle(started.hThread);
        }
        CloseHandle(writeEnd);
        CloseHandle(nothing);
        reader_ = std::thread([this, readEnd] {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                output_.append(buffer, got);
            }
            CloseHandle(readEnd);
        });
    }
    ~CliRun() {
        if (process_ != nullptr && !Ended(std::chrono::milliseconds(1000)))
            TerminateProcess(process_, 99);
        if (reader_.joinable()) reader_.join();
        if (process_ != nullptr) CloseHandle(process_);
    }

    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    // Its exit code once it ended within `patience`.
    std::optional<DWORD> Ended(driver::Patience patience = driver::Patience(300000)) {
        if (process_ == nullptr ||
            WaitForSingleObject(process_, DWORD(patience.count())) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        if (reader_.joinable())
            reader_.join();  // the pipe ends with the last holder of its write end
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }
    std::string Output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }
    std::vector<json> Events() { return bench_cases::JsonLines(Output()); }

  private:
    static std::vector<std::string> Environment(const std::string& temp,
                                                const std::vector<std::string>& extra) {
        std::vector<std::string> entries;
        wchar_t* all = GetEnvironmentStringsW();
        for (const wchar_t* at = all; *at != L'\0'; at += wcslen(at) + 1) {
            const std::wstring entry(at);
            if (_wcsnicmp(at, L"TMP=", 4) == 0 || _wcsnicmp(at, L"TEMP=", 5) == 0) continue;
            entries.emplace_back(entry.begin(), entry.end());  // ASCII names and values here
        }
        FreeEnvironmentStringsW(all);
        entries.push_back("TMP=" + temp);
        entries.push_back("TEMP=" + temp);
        entries.insert(entries.end(), extra.begin(), extra.end());
        return entries;
    }

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::string output_;
};

std::vector<json> RecordLines(const std::string& path) {
    std::vector<json> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
    return lines;
}

class BenchUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_ = driver::FreshFolder(
            "reflasher-bench-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    }
    void TearDown() override {
        EXPECT_TRUE(driver::WaitFor([] {
            return driver::ProcessesNamed("prog.exe") == 0 &&
                   driver::ProcessesNamed("reflasher-cli.exe") == 0;
        }));
        for (const std::string& entry : driver::Entries(temp_)) {
            EXPECT_EQ(entry.rfind("record", 0), 0u) << "left in the temporary folder: " << entry;
        }
        driver::RemoveTree(temp_);
    }
    std::string temp_;
};

TEST_F(BenchUnderWine, EveryRoadOfTheTableTheListingAndTheRecord) {
    // Four at a time (the wizard offers COM1 to COM4), each on a receiver of its own.
    const std::vector<bench_cases::ExitCase>& cases = bench_cases::kExitCases;
    const std::string record = temp_ + "\\record.jsonl";
    for (std::size_t first = 0; first < cases.size(); first += 4) {
        std::vector<std::unique_ptr<winetest::RemoteReceiver>> receivers;
        std::vector<std::unique_ptr<CliRun>> runs;
        const std::size_t end = std::min(cases.size(), first + 4);
        for (std::size_t i = first; i < end; ++i) {
            const int port = int(i - first) + 1;
            if (cases[i].receiver == nullptr) {
                ASSERT_TRUE(winetest::MakePortMissing(port));
            } else {
                receivers.push_back(
                    std::make_unique<winetest::RemoteReceiver>(port, cases[i].receiver));
                ASSERT_TRUE(receivers.back()->Ok()) << cases[i].name;
            }
            std::string arguments = "--unattended --json --port " +
                                    std::string(port % 2 ? "" : "COM") + std::to_string(port);
            // The first (healthy) one writes the record that is compared with Linux's.
            if (i == 0)
                arguments += " --record \"" + record + "\" --operator \"Anna Weber\" --batch B-17";
            runs.push_back(std::make_unique<CliRun>(arguments, temp_));
            ASSERT_TRUE(runs.back()->Started());
        }
        for (std::size_t i = first; i < end; ++i) {
            const bench_cases::ExitCase& c = cases[i];
            CliRun& run = *runs[i - first];
            SCOPED_TRACE(c.name);
            EXPECT_EQ(run.Ended(), std::optional<DWORD>(c.exitCode)) << run.Output();
            const std::vector<json> events = run.Events();
            const std::vector<json> outcome = Named(events, "outcome");
            ASSERT_EQ(outcome.size(), 1u) << run.Output();
            EXPECT_EQ(outcome[0]["outcome"], c.outcome);
            EXPECT_EQ(outcome[0]["exit_code"], c.exitCode);
            EXPECT_EQ(outcome[0]["device"], "\\\\.\\COM" + std::to_string(i - first + 1));
            const std::vector<json> boxes = Named(events, "message");
            if (c.message == 0) {
                EXPECT_TRUE(boxes.empty()) << run.Output();
            } else {
                ASSERT_EQ(boxes.size(), 1u) << run.Output();
                EXPECT_EQ(boxes[0]["string"], c.message);
                EXPECT_EQ(boxes[0]["text"].get<std::string>().rfind(res::LoadString(c.message), 0),
                          0u);
            }
            if (!outcome[0]["confirmed_version"].is_null() && *c.versionAfter != '\0') {
                EXPECT_EQ(outcome[0]["confirmed_version"], c.versionAfter);
            }
        }
        if (end < cases.size()) continue;
        // The listing names the mapped ports; a missing one cannot be opened.
        ASSERT_TRUE(winetest::MakePortMissing(4));
        CliRun listing("--list-ports --json", temp_);
        EXPECT_EQ(listing.Ended(), std::optional<DWORD>(0)) << listing.Output();
        std::map<int, json> byNumber;
        for (const json& port : listing.Events()) byNumber[port["com"].get<int>()] = port;
        for (int number = 1; number <= 4; ++number) {
            ASSERT_TRUE(byNumber.count(number)) << listing.Output();
            EXPECT_EQ(byNumber[number]["device"], "\\\\.\\COM" + std::to_string(number));
            EXPECT_EQ(byNumber[number]["openable"], number <= int(end - first))
                << byNumber[number].dump();
        }
    }

    // The record: the same line Linux writes for this road, apart from where and when.
    const std::vector<json> lines = RecordLines(record);
    ASSERT_EQ(lines.size(), 1u);
    const std::string image = Sha256OfFile(driver::OwnFolder() + "\\508231.005").value_or("");
    EXPECT_EQ(bench_cases::WithoutPlaceAndTime(lines[0]),
              bench_cases::UpdateRecord(REFLASHER_VERSION, image))
        << lines[0].dump();
    EXPECT_EQ(lines[0]["port"], 1);
    EXPECT_EQ(lines[0]["device"], "\\\\.\\COM1");
}

TEST_F(BenchUnderWine, StationOfThreeThenCtrlCInTheMiddleOfTheFlashes) {
    const std::string record = temp_ + "\\record.jsonl";
    {
        winetest::RemoteReceiver healthy(1, ""), weak(2, "--battery 3000"), other(3, "--baud 9600");
        ASSERT_TRUE(healthy.Ok() && weak.Ok() && other.Ok());
        CliRun station(
            "station --ports 1,COM2,3 --record \"" + record + "\" --operator \"Anna Weber\"",
            temp_);
        EXPECT_EQ(station.Ended(), std::optional<DWORD>(10))
            << station.Output();  // the first failing port's
        const std::vector<json> events = station.Events();
        ASSERT_EQ(Named(events, "station_summary").size(), 1u) << station.Output();
        const json summary = Named(events, "station_summary")[0];
        std::vector<std::pair<std::string, int>> finals;
        for (const json& p : summary["ports"]) finals.emplace_back(p["outcome"], p["exit_code"]);
        EXPECT_EQ(finals, (std::vector<std::pair<std::string, int>>{
                              {"updated", 0}, {"low-battery", 10}, {"updated", 0}}));
        for (const json& run : Named(events, "station_run")) {
            EXPECT_FALSE(driver::Exists(run["temp_folder"].get<std::string>())) << run.dump();
        }
        const std::vector<json> lines = RecordLines(record);
        ASSERT_EQ(lines.size(), 3u);
        for (const json& l : lines) {
            EXPECT_EQ(l["operator"], "Anna Weber");
            EXPECT_EQ(l["device"], "\\\\.\\COM" + std::to_string(l["station_port"].get<int>()));
            EXPECT_EQ(l["speed"], l["station_port"] == 3 ? 9600 : 19200);
        }
    }

    // Ctrl+C on the console the station shares with us (we take ours and let it pass): every
    // run is told, its flasher stopped, and each recorded as interrupted.
    winetest::RemoteReceiver first(1, ""), second(2, "");
    ASSERT_TRUE(first.Ok() && second.Ok());
    // Under Wine without a terminal this program's console is no real one (control events fail
    // on it): it makes a console of its own for the station to share, as the operator's window.
    if (GetConsoleWindow() == nullptr) {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
    }
    static std::atomic<int> ours{0};
    SetConsoleCtrlHandler(
        [](DWORD event) -> BOOL {
            if (event != CTRL_C_EVENT) return FALSE;
            ++ours;
            return TRUE;
        },
        TRUE);
    const std::string interrupted = temp_ + "\\record-interrupted.jsonl";
    CliRun station("station --ports 1,2 --record \"" + interrupted + "\"", temp_,
                   {"REFLASHER_PROG_HOLD_AFTER=1"});
    // Each flasher holds after its first block (its own console's output is not ours to read):
    // both have started, and a moment later both hold.
    ASSERT_TRUE(
        driver::WaitFor([&] { return Named(station.Events(), "flasher_started").size() == 2; },
                        driver::Patience(180000)))
        << station.Output();
    Sleep(3000);
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
    EXPECT_EQ(station.Ended(), std::optional<DWORD>(130)) << station.Output();
    EXPECT_TRUE(driver::WaitFor([] { return ours.load() > 0; }));
    const std::vector<json> events = station.Events();
    ASSERT_EQ(Named(events, "station_summary").size(), 1u) << station.Output();
    const json summary = Named(events, "station_summary")[0];
    EXPECT_TRUE(summary["interrupted"].get<bool>());
    for (const json& p : summary["ports"]) {
        EXPECT_EQ(p["outcome"], "interrupted") << station.Output();
        EXPECT_EQ(p["exit_code"], 143);  // each run was told with Ctrl+Break, as SIGTERM on Linux
    }
    const std::vector<json> lines = RecordLines(interrupted);
    ASSERT_EQ(lines.size(), 2u) << station.Output();
    // Each run tells its flasher with Ctrl+Break to the flasher's process group. Wine refuses
    // control events sent to one group, so there the flasher does not hear it: the record must
    // name it as left running, and it ends with the station's job (the station's folder, which
    // it held, is left to us). On Windows the flasher stops at once.
    const bool wine = winetest::UnderWine();
    for (const json& l : lines) {
        EXPECT_EQ(l["outcome"], "interrupted");
        EXPECT_EQ(l["flasher_result"], "failed");
        EXPECT_EQ(l["flasher_left_running"].is_null(), !wine) << l.dump();
    }
    if (wine) {
        EXPECT_TRUE(driver::WaitFor([] { return driver::ProcessesNamed("prog.exe") == 0; },
                                    driver::Patience(180000)));
        for (const std::string& entry : driver::Entries(temp_)) {
            if (entry.rfind("reflasher-station-", 0) == 0) driver::RemoveTree(temp_ + "\\" + entry);
        }
    }
}

}  // namespace
