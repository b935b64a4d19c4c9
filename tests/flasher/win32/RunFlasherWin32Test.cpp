// RunFlasher on Windows, against real child processes: fake-prog.exe (built beside this test)
// installed as prog.exe in a temporary wizard folder, doing what each test tells it.
#include <windows.h>
// <windows.h> makes LoadString a macro (LoadStringA); the string table's is meant here.
#undef LoadString

#include <fmt/printf.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "res/Strings.h"
#include "source/Flasher.h"
#include "tests/comm/CommTestSupport.h"

using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names in `folder` (without a trailing '\'), "." and ".." left out.
std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = entry.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

void RemoveAll(const std::string& folder) {
    for (const std::string& name : Entries(folder)) {
        const std::string path = folder + "\\" + name;
        if ((GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            RemoveAll(path);
        } else {
            DeleteFileA(path.c_str());
        }
    }
    RemoveDirectoryA(folder.c_str());
}

std::string OwnFolder() {
    char path[MAX_PATH] = {};
    const std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return exe.substr(0, exe.rfind('\\'));
}

class RunFlasherWin32 : public ::testing::Test {
  protected:
    void SetUp() override {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        static int count = 0;
        root_ = std::string(temp) + "runflasher-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++count);
        wizard_ = root_ + "\\wizard folder with blanks";
        temp_ = root_ + "\\tmp";
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(wizard_.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(temp_.c_str(), nullptr));
        surroundings_.programFolder = wizard_;
        surroundings_.tempFolder = temp_ + "\\";
        surroundings_.showMessage = [this](const std::string& text) { messages_.push_back(text); };
        // The flasher learns where to report through the wizard's environment.
        SetEnvironmentVariableA("FLASHER_TEST_DIR", root_.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableA("FLASHER_TEST_DIR", nullptr);
        RemoveAll(root_);
    }

    // Installs the fake flasher as prog.exe in `folder`, doing `behaviour` (one step a line).
    void InstallFlasher(const std::string& behaviour, const std::string& folder = {}) {
        const std::string target = (folder.empty() ? wizard_ : folder) + "\\prog.exe";
        ASSERT_TRUE(CopyFileA((OwnFolder() + "\\fake-prog.exe").c_str(), target.c_str(), FALSE));
        std::ofstream(root_ + "\\behaviour", std::ios::binary) << behaviour;
        DeleteFileA((root_ + "\\report.txt").c_str());
    }

    FlasherResult Run(std::int32_t port, std::int32_t connect, std::int32_t transfer,
                      std::uint32_t limitMs, int failureMessage) {
        return RunFlasher("508231.005", port, connect, transfer, limitMs, failureMessage,
                          surroundings_);
    }

    // What the fake flasher reported, by key.
    std::map<std::string, std::string> Report() {
        std::map<std::string, std::string> values;
        std::istringstream lines(ReadAll(root_ + "\\report.txt"));
        for (std::string line; std::getline(lines, line);) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos)
                values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values;
    }

    std::string root_, wizard_, temp_;
    FlasherSurroundings surroundings_;
    std::vector<std::string> messages_;
};

TEST(FlasherCommandLineWin32, FormatsTheLineWithBackslashes) {
    EXPECT_EQ(FlasherCommandLine("C:\\my wizard", "508231.005", 2, 19200, 115200),
              "prog.exe \"C:\\my wizard\\508231.005\" 2 P 19200 115200");
    EXPECT_EQ(FlasherCommandLine("C:\\w", "508231.005", 1, 9600, 9600),
              "prog.exe \"C:\\w\\508231.005\" 1 P 9600 9600");
}

TEST_F(RunFlasherWin32, HandsTheFlasherItsLineFolderAndConsole) {
    // A handle of the wizard's that could be inherited must not reach the flasher.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const std::string leak = root_ + "\\leak.txt";
    HANDLE leaky = CreateFileA(leak.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(leaky, INVALID_HANDLE_VALUE);
    SetEnvironmentVariableA("FLASHER_TEST_HANDLE",
                            std::to_string(reinterpret_cast<std::uintptr_t>(leaky)).c_str());
    InstallFlasher("report\nleak\nsleep 1000\nstatus xxxxxx0 done\n");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::Succeeded);
    SetEnvironmentVariableA("FLASHER_TEST_HANDLE", nullptr);
    CloseHandle(leaky);
    EXPECT_TRUE(messages_.empty());

    std::map<std::string, std::string> report = Report();
    // The exact line, the program's bare name first; the C runtime takes the path whole.
    EXPECT_EQ(report["commandline"], "prog.exe \"" + wizard_ + "\\508231.005\" 2 P 19200 115200");
    EXPECT_EQ(report["arg1"], wizard_ + "\\508231.005");
    EXPECT_EQ(report["arg3"], "P");
    // A folder of the run's own inside the temporary folder: its current and temporary folder.
    const std::string runFolder = report["cwd"];
    EXPECT_EQ(runFolder.rfind(temp_ + "\\reflasher-", 0), 0u) << runFolder;
    EXPECT_EQ(report["tmp"], runFolder);
    EXPECT_EQ(report["temp"], runFolder);
    EXPECT_EQ(report["temppath"], runFolder + "\\");
    EXPECT_TRUE(Entries(temp_).empty()) << "the run's folder, result file and all, is removed";
    // A console of its own (without CREATE_NEW_CONSOLE it would have the wizard's, or none),
    // titled and filled as asked; nothing inherited.
    EXPECT_EQ(report["console"], "1");
    EXPECT_EQ(report["consoleprocesses"], report["pid"]);
    EXPECT_EQ(report["title"], "Installing Firmware");
    EXPECT_EQ(report["starttitle"], "Installing Firmware");
    EXPECT_EQ(report["startflags"], std::to_string(STARTF_USEFILLATTRIBUTE));
    EXPECT_EQ(report["fill"], "112");
    EXPECT_EQ(ReadAll(leak), "") << "the flasher wrote through an inherited handle";

    // The restore road's speeds.
    InstallFlasher("report\nsleep 1000\nstatus xxxxxx0\n");
    EXPECT_EQ(Run(4, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Succeeded);
    EXPECT_EQ(Report()["commandline"], "prog.exe \"" + wizard_ + "\\508231.005\" 4 P 9600 9600");
}

TEST_F(RunFlasherWin32, EarlyEndMeansAMissingFirmwareFileEvenWithASuccessFile) {
    InstallFlasher("status xxxxxx0\n");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::EndedEarly);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              fmt::sprintf(res::LoadString(res::ids::kFirmwareNotFound), "508231.005") +
                  "\r\n\r\nLooked in: " + wizard_);
    EXPECT_TRUE(Entries(temp_).empty());
}

TEST_F(RunFlasherWin32, TheSeventhByteDecidesAndTheResultIsRemoved) {
    struct Case {
        const char* steps;
        FlasherResult expected;
    };
    const Case cases[] = {
        {"sleep 1000\nstatus \\x00\\xFFabc 0trailing text\n", FlasherResult::Succeeded},
        {"sleep 1000\nstatus 000000\n", FlasherResult::Failed},     // six bytes
        {"sleep 1000\nstatus 0000001\n", FlasherResult::Failed},    // '1'
        {"sleep 1000\n", FlasherResult::Failed},                    // no file
        {"sleep 1000\nmkdir status.err\n", FlasherResult::Failed},  // not a file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps);
        messages_.clear();
        InstallFlasher(c.steps);
        EXPECT_EQ(Run(3, 19200, 115200, 20000, res::ids::kUpdateFailed), c.expected);
        if (c.expected == FlasherResult::Succeeded) {
            EXPECT_TRUE(messages_.empty());
        } else {
            EXPECT_EQ(messages_,
                      std::vector<std::string>{res::LoadString(res::ids::kUpdateFailed)});
        }
        EXPECT_TRUE(Entries(temp_).empty());
    }
}

TEST_F(RunFlasherWin32, ATimedOutFlasherKeepsRunningAndItsLateSuccessIsNotTaken) {
    InstallFlasher("report\nwait-release\nstatus xxxxxx0\ntouch finished\n");
    EXPECT_EQ(Run(2, 19200, 115200, 300, res::ids::kUpdateFailed), FlasherResult::TimedOut);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].rfind(res::LoadString(res::ids::kTimedOut), 0), 0u) << messages_[0];

    ASSERT_TRUE(commtest::WaitUntil([&] { return !Report()["pid"].empty(); }, 30s));
    const DWORD pid = std::stoul(Report()["pid"]);
    HANDLE flasher = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_NE(flasher, nullptr);
    EXPECT_EQ(WaitForSingleObject(flasher, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "it keeps running";

    // While it runs no second flasher starts.
    messages_.clear();
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::TimedOut);
    EXPECT_EQ(messages_.size(), 1u);

    // It finishes late, with a success in its own folder; the next run fails on its own.
    std::ofstream(root_ + "\\release");
    EXPECT_EQ(WaitForSingleObject(flasher, 30000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(flasher);
    EXPECT_TRUE(Exists(root_ + "\\finished"));
    messages_.clear();
    InstallFlasher("sleep 1000\n");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(res::ids::kUpdateFailed)});
    EXPECT_TRUE(Entries(temp_).empty()) << "the late flasher's folder went too";
}

// A TMP too long with the run folder and the result file in it: refused with the reason before
// the flasher runs, and nothing is left in it.
TEST_F(RunFlasherWin32, APathPastMaxPathIsRefusedBeforeTheFlasherRuns) {
    InstallFlasher("report\nsleep 1000\nstatus xxxxxx0\n");
    const std::string longer = temp_ + "\\" + std::string(236 - temp_.size() - 1, 'l');
    ASSERT_TRUE(CreateDirectoryA(longer.c_str(), nullptr));
    char previous[MAX_PATH] = {};
    GetEnvironmentVariableA("TMP", previous, MAX_PATH);
    SetEnvironmentVariableA("TMP", longer.c_str());  // the system's temporary folder: TMP first
    surroundings_.tempFolder.clear();
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::NotStarted);
    SetEnvironmentVariableA("TMP", previous);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find("status.err would be longer than 259 characters."),
              std::string::npos)
        << messages_[0];
    EXPECT_FALSE(Exists(root_ + "\\report.txt"));
    EXPECT_TRUE(Entries(longer).empty());
}

TEST_F(RunFlasherWin32, AMissingFlasherIsNotStartedNorLookedForElsewhere) {
    // A prog.exe that would succeed waits in the current folder and on PATH, and the real one
    // beside this test; none of them is the wizard folder's.
    const std::string elsewhere = root_ + "\\elsewhere";
    ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
    InstallFlasher("report\nsleep 1000\nstatus xxxxxx0\n", elsewhere);
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    char path[8192] = {};
    GetEnvironmentVariableA("PATH", path, sizeof path);
    SetCurrentDirectoryA(elsewhere.c_str());
    SetEnvironmentVariableA("PATH", (elsewhere + ";" + path).c_str());
    const FlasherResult result = Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed);
    SetEnvironmentVariableA("PATH", path);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, FlasherResult::NotStarted);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], fmt::sprintf(res::LoadString(res::ids::kFlasherNotFound), "prog.exe") +
                                "\r\n\r\nLooked in: " + wizard_);
    EXPECT_FALSE(Exists(root_ + "\\report.txt"));
    EXPECT_TRUE(Entries(temp_).empty());
}

}  // namespace
