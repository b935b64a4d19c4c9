// RunFlasher against real child processes: small shell scripts named prog.exe in a temporary
// wizard folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <fmt/printf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "res/Strings.h"
#include "source/Flasher.h"
#include "source/platform/posix/CommandLine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Waits for `condition` up to a generous deadline.
template <typename F>
bool WaitFor(F condition, std::chrono::seconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

class RunFlasherTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/runflasher-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        wizard_ = root_ / "wizard folder with blanks";
        temp_ = root_ / "tmp";
        fs::create_directories(wizard_);
        fs::create_directories(temp_);
        surroundings_.programFolder = wizard_.string();
        surroundings_.tempFolder = temp_.string() + "/";
        surroundings_.showMessage = [this](const std::string& text) { messages_.push_back(text); };
        // The scripts learn where to report through the wizard's environment, which they inherit.
        setenv("FLASHER_TEST_DIR", root_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FLASHER_TEST_DIR");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // Installs a prog.exe script whose body runs after the shebang.
    void InstallFlasher(const std::string& body) {
        const fs::path prog = wizard_ / "prog.exe";
        WriteAll(prog, "#!/bin/sh\n" + body + "\n");
        fs::permissions(prog, fs::perms::owner_all);
    }

    FlasherResult Run(std::int32_t port, std::int32_t connect, std::int32_t transfer,
                      std::uint32_t limitMs, int failureMessage) {
        return RunFlasher("508231.005", port, connect, transfer, limitMs, failureMessage, surroundings_);
    }

    fs::path Status() const { return temp_ / "status.err"; }

    fs::path root_, wizard_, temp_;
    FlasherSurroundings surroundings_;
    std::vector<std::string> messages_;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(FlasherCommandLineTest, FormatsTheWindowsLineWithThePlatformSeparator) {
    EXPECT_EQ(FlasherCommandLine("/opt/my wizard", "508231.005", 2, 19200, 115200),
              "prog.exe \"/opt/my wizard/508231.005\" 2 P 19200 115200");
    EXPECT_EQ(FlasherCommandLine("/opt/w", "508231.005", 4, 9600, 9600),
              "prog.exe \"/opt/w/508231.005\" 4 P 9600 9600");
}

TEST(SplitWindowsCommandLineTest, FollowsTheCRuntimeQuotingRules) {
    using flasher_os::SplitWindowsCommandLine;
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitWindowsCommandLine("prog.exe \"/a b/508231.005\" 2 P 19200 115200"),
              (V{"prog.exe", "/a b/508231.005", "2", "P", "19200", "115200"}));
    EXPECT_EQ(SplitWindowsCommandLine(""), V{});
    // The program name knows no escapes; later arguments do.
    EXPECT_EQ(SplitWindowsCommandLine("\"C:\\my dir\\\\prog.exe\"x  \t a\\\\b"),
              (V{"C:\\my dir\\\\prog.exe", "x", "a\\\\b"}));
    EXPECT_EQ(SplitWindowsCommandLine("p a\\\"b \"c\\\\\" d"), (V{"p", "a\"b", "c\\", "d"}));
    EXPECT_EQ(SplitWindowsCommandLine("p \"a \"\"q\"\" b\" \"\" x\"y z\"w"),
              (V{"p", "a \"q\" b", "", "xy zw"}));
    EXPECT_EQ(SplitWindowsCommandLine("p \\\\\\\\\"x y\" trailing  "), (V{"p", "\\\\x y", "trailing"}));
}

TEST_F(RunFlasherTest, HandsTheFlasherItsArgumentsFolderAndEnvironment) {
    // The script reports its arguments and current folder, then succeeds.
    InstallFlasher(R"(printf '%s\n' "$@" > "$FLASHER_TEST_DIR/args"
pwd -P > "$FLASHER_TEST_DIR/cwd"
sleep 1
printf 'xxxxxx0 done' > status.err)");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::Succeeded);
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(Lines(ReadAll(root_ / "args")),
              (std::vector<std::string>{wizard_.string() + "/508231.005", "2", "P", "19200", "115200"}));
    EXPECT_EQ(Lines(ReadAll(root_ / "cwd")), std::vector<std::string>{fs::canonical(temp_).string()});
    EXPECT_FALSE(fs::exists(Status()));

    // The restore road's speeds.
    EXPECT_EQ(Run(4, 9600, 9600, 20000, 129), FlasherResult::Succeeded);
    EXPECT_EQ(Lines(ReadAll(root_ / "args")),
              (std::vector<std::string>{wizard_.string() + "/508231.005", "4", "P", "9600", "9600"}));
}

TEST_F(RunFlasherTest, GivesTheFlasherOnlyTheStandardStreamsAndTheConsole) {
    // A descriptor of the wizard's that is not close-on-exec must not reach the flasher.
    int leaky[2];
    ASSERT_EQ(pipe(leaky), 0);
    setenv("FLASHER_TEST_FD", std::to_string(leaky[1]).c_str(), 1);
    InstallFlasher(R"(if [ -e "/proc/$$/fd/$FLASHER_TEST_FD" ]; then echo leaked; else echo clean; fi
echo "to the console"
echo "to the error stream" >&2
sleep 1
printf '1234560' > status.err)");
    const fs::path out = root_ / "console.out";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd, 0);
    std::vector<std::string> calls;
    surroundings_.console.output = outFd;
    surroundings_.console.error = outFd;
    surroundings_.console.open = [&](const std::string& title, int fill) {
        calls.push_back("open " + title + " " + std::to_string(fill));
    };
    surroundings_.console.close = [&] { calls.push_back("close"); };

    EXPECT_EQ(Run(1, 9600, 9600, 20000, 129), FlasherResult::Succeeded);
    close(outFd);
    close(leaky[0]);
    close(leaky[1]);
    unsetenv("FLASHER_TEST_FD");
    EXPECT_EQ(Lines(ReadAll(out)),
              (std::vector<std::string>{"clean", "to the console", "to the error stream"}));
    EXPECT_EQ(calls, (std::vector<std::string>{"open Installing Firmware 112", "close"}));
}

TEST_F(RunFlasherTest, EarlyExitMeansAMissingFirmwareFileEvenWithASuccessFile) {
    InstallFlasher("printf 'xxxxxx0' > status.err");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::EndedEarly);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], fmt::sprintf(res::LoadString(126), "508231.005"));
    EXPECT_EQ(messages_[0].rfind("508231.005 cannot be found.", 0), 0u);
    EXPECT_FALSE(fs::exists(Status()));
}

TEST_F(RunFlasherTest, TheSeventhByteDecidesAndTheFileIsDeleted) {
    struct Case {
        const char* write;  // shell printf argument, or null for no result file
        FlasherResult expected;
    };
    const Case cases[] = {
        {"\\0\\377abc 0trailing text", FlasherResult::Succeeded},
        {"0000000", FlasherResult::Succeeded},
        {"000000", FlasherResult::Failed},   // six bytes
        {"0000001", FlasherResult::Failed},  // '1'
        {nullptr, FlasherResult::Failed},    // no file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.write ? c.write : "(no file)");
        messages_.clear();
        InstallFlasher(std::string("sleep 1\n") +
                       (c.write ? std::string("printf '") + c.write + "' > status.err" : ""));
        EXPECT_EQ(Run(3, 19200, 115200, 20000, 128), c.expected);
        if (c.expected == FlasherResult::Succeeded) {
            EXPECT_TRUE(messages_.empty());
        } else {
            EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(128)});
        }
        EXPECT_FALSE(fs::exists(Status()));
    }
    // The restore road's caller passes its own message.
    messages_.clear();
    InstallFlasher("sleep 1");
    EXPECT_EQ(Run(1, 9600, 9600, 20000, 129), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(129)});
}

TEST_F(RunFlasherTest, ATimedOutFlasherKeepsRunningAndItsLateSuccessIsNotTakenLater) {
    // Runs until the test lets it go, then reports success far too late.
    InstallFlasher(R"(echo $$ > "$FLASHER_TEST_DIR/pid"
while [ ! -e "$FLASHER_TEST_DIR/release" ]; do sleep 0.05; done
printf 'xxxxxx0' > status.err
touch "$FLASHER_TEST_DIR/finished")");
    EXPECT_EQ(Run(2, 19200, 115200, 300, 128), FlasherResult::TimedOut);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(125)});
    EXPECT_EQ(messages_[0].back(), ' ');

    ASSERT_TRUE(WaitFor([&] { return fs::exists(root_ / "pid"); }));
    const pid_t pid = std::stoi(ReadAll(root_ / "pid"));
    EXPECT_EQ(kill(pid, 0), 0) << "the flasher should still be running";
    EXPECT_FALSE(fs::exists(root_ / "finished"));

    WriteAll(root_ / "release", "");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root_ / "finished"); }));
    EXPECT_TRUE(fs::exists(Status())) << "a run that timed out leaves the result file alone";
    // Its reaper collects it: the pid disappears instead of lingering as a zombie.
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));

    // The next run fails on its own: the late success file is not its result.
    messages_.clear();
    InstallFlasher("sleep 1");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(128)});
    EXPECT_FALSE(fs::exists(Status()));
}

TEST_F(RunFlasherTest, AMissingFlasherIsNotStarted) {
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::NotStarted);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], fmt::sprintf(res::LoadString(120), "prog.exe"));
    EXPECT_EQ(messages_[0].rfind("prog.exe cannot be found.", 0), 0u);

    // Not on PATH either: only the wizard's folder counts.
    InstallFlasher("sleep 1; printf 'xxxxxx0' > status.err");
    const fs::path elsewhere = root_ / "elsewhere";
    surroundings_.programFolder = elsewhere.string();
    fs::create_directories(elsewhere);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (wizard_.string() + ":" + oldPath).c_str(), 1);
    messages_.clear();
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::NotStarted);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(RunFlasherTest, RefusesAResultFileThatIsASymbolicLinkOrNotARegularFile) {
    // The flasher replaces its result with a link to a file that reports success.
    WriteAll(root_ / "planted", "xxxxxx0");
    InstallFlasher(R"(sleep 1
ln -s "$FLASHER_TEST_DIR/planted" status.err)");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(128)});
    EXPECT_FALSE(fs::is_symlink(Status()));
    EXPECT_EQ(ReadAll(root_ / "planted"), "xxxxxx0") << "only the link is deleted";

    // A FIFO must neither block the wizard nor count.
    messages_.clear();
    InstallFlasher("sleep 1; mkfifo status.err");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, 128), FlasherResult::Failed);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Status())));
}
