// RunFlasher against real child processes: small shell scripts named prog.exe in a temporary
// wizard folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <fmt/printf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
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
#include "source/platform/FlasherProcess.h"
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
        // Blanks, a quote and backslashes: the firmware path must still arrive as one argument.
        wizard_ = root_ / "wizard \"folder\\\" with \\blanks\\";
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
        return RunFlasher("508231.005", port, connect, transfer, limitMs, failureMessage,
                          surroundings_);
    }

    // Nothing of a run is left in the temporary folder: its own folder went with its result.
    bool TempFolderEmpty() const { return fs::is_empty(temp_); }

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
    EXPECT_EQ(SplitWindowsCommandLine("p \\\\\\\\\"x y\" trailing  "),
              (V{"p", "\\\\x y", "trailing"}));
}

// A console lent to the flasher, recording what RunFlasher does with it.
struct ConsoleRecorder : ui::ConsoleLender {
    std::vector<std::string> calls;
    int idles = 0;
    void lend(const std::string& title, int fill) override {
        calls.push_back("open " + title + " " + std::to_string(fill));
    }
    bool keepGoing() override { return ++idles > 0; }
    void takeBack() override { calls.push_back("close"); }
};

TEST_F(RunFlasherTest, HandsTheFlasherItsArgumentsFolderAndEnvironment) {
    // The script reports its arguments, current and temporary folders, then succeeds.
    InstallFlasher(R"(printf '%s\n' "$@" > "$FLASHER_TEST_DIR/args"
pwd -P > "$FLASHER_TEST_DIR/cwd"
echo "$TMPDIR" > "$FLASHER_TEST_DIR/tmpdir"
stat -c %a . > "$FLASHER_TEST_DIR/mode"
sleep 1
printf 'xxxxxx0 done' > status.err)");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::Succeeded);
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(
        Lines(ReadAll(root_ / "args")),
        (std::vector<std::string>{wizard_.string() + "/508231.005", "2", "P", "19200", "115200"}));
    // A folder of its own inside the temporary folder, open to this user only, as its current and
    // its temporary folder; gone afterwards.
    const std::vector<std::string> cwd = Lines(ReadAll(root_ / "cwd"));
    ASSERT_EQ(cwd.size(), 1u);
    EXPECT_EQ(fs::path(cwd[0]).parent_path(), fs::canonical(temp_));
    EXPECT_EQ(Lines(ReadAll(root_ / "tmpdir")),
              (std::vector<std::string>{(temp_ / fs::path(cwd[0]).filename()).string()}));
    EXPECT_EQ(Lines(ReadAll(root_ / "mode")), std::vector<std::string>{"700"});
    EXPECT_TRUE(TempFolderEmpty());

    // The restore road's speeds.
    EXPECT_EQ(Run(4, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Succeeded);
    EXPECT_EQ(
        Lines(ReadAll(root_ / "args")),
        (std::vector<std::string>{wizard_.string() + "/508231.005", "4", "P", "9600", "9600"}));
}

TEST_F(RunFlasherTest, TwoWizardsAtOnceEachReadOnlyTheirOwnResult) {
    // Port 1's flasher succeeds late; port 2's fails while port 1's is still running. With one
    // shared result file each would read the other's.
    InstallFlasher(R"(sleep 1
if [ "$2" = 1 ]; then printf 'STATUS0' > status.err; sleep 1; else printf 'STATUS1' > status.err; fi)");
    auto wizard = [&](std::int32_t port) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(static_cast<int>(Run(port, 19200, 115200, 20000, res::ids::kUpdateFailed)));
        return pid;
    };
    const pid_t first = wizard(1);
    std::this_thread::sleep_for(300ms);
    const pid_t second = wizard(2);
    int status1 = 0, status2 = 0;
    ASSERT_EQ(waitpid(first, &status1, 0), first);
    ASSERT_EQ(waitpid(second, &status2, 0), second);
    ASSERT_TRUE(WIFEXITED(status1) && WIFEXITED(status2));
    EXPECT_EQ(WEXITSTATUS(status1), static_cast<int>(FlasherResult::Succeeded));
    EXPECT_EQ(WEXITSTATUS(status2), static_cast<int>(FlasherResult::Failed));
    EXPECT_TRUE(TempFolderEmpty());
}

TEST_F(RunFlasherTest, TheWizardsEndingSignalReachesTheFlasherFirst) {
    // The flasher notes the signal it gets and ends; the wizard removes the run's folder and then
    // ends of the same signal.
    InstallFlasher(R"(trap 'echo "$2" > "$FLASHER_TEST_DIR/got"; exit 1' TERM HUP
echo $$ > "$FLASHER_TEST_DIR/pid"
while :; do sleep 0.05; done)");
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        fs::remove(root_ / "pid");
        fs::remove(root_ / "got");
        const pid_t wizard = fork();
        if (wizard == 0)
            _exit(static_cast<int>(Run(3, 19200, 115200, 20000, res::ids::kUpdateFailed)) + 100);
        ASSERT_TRUE(
            WaitFor([&] { return fs::exists(root_ / "pid") && !ReadAll(root_ / "pid").empty(); }));
        const pid_t flasher = std::stoi(ReadAll(root_ / "pid"));
        ASSERT_EQ(kill(wizard, signal), 0);
        int status = 0;
        ASSERT_EQ(waitpid(wizard, &status, 0), wizard);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Lines(ReadAll(root_ / "got")), std::vector<std::string>{"3"});
        EXPECT_TRUE(WaitFor([&] { return kill(flasher, 0) != 0; }));
        EXPECT_TRUE(TempFolderEmpty());
    }
}

TEST_F(RunFlasherTest, AnUnusableTemporaryFolderIsNamedWithItsReason) {
    InstallFlasher("sleep 1; printf 'xxxxxx0' > status.err");
    const std::string notFound =
        fmt::sprintf(res::LoadString(res::ids::kFlasherNotFound), "prog.exe");
    surroundings_.tempFolder = (root_ / "gone").string() + "/";
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::NotStarted);
    EXPECT_EQ(messages_, std::vector<std::string>{notFound + "\r\n\r\nThe temporary folder " +
                                                  surroundings_.tempFolder +
                                                  " cannot be used: No such file or directory."});
    messages_.clear();
    surroundings_.tempFolder = "/" + std::string(259, 't') + "/";
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::NotStarted);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find(" cannot be used: it is longer than 259 characters."),
              std::string::npos);
}

TEST_F(RunFlasherTest, GivesTheFlasherOnlyTheStandardStreamsAndTheConsole) {
    // A descriptor of the wizard's that is not close-on-exec must not reach the flasher.
    int leaky[2];
    ASSERT_EQ(pipe(leaky), 0);
    setenv("FLASHER_TEST_FD", std::to_string(leaky[1]).c_str(), 1);
    InstallFlasher(
        R"(if [ -e "/proc/$$/fd/$FLASHER_TEST_FD" ]; then echo leaked; else echo clean; fi
echo "to the console"
echo "to the error stream" >&2
sleep 1
printf '1234560' > status.err)");
    const fs::path out = root_ / "console.out";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd, 0);
    surroundings_.streams.output = outFd;
    surroundings_.streams.error = outFd;
    ConsoleRecorder console;  // a console of the wizard's own gets the thread back meanwhile
    surroundings_.console = &console;

    EXPECT_EQ(Run(1, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Succeeded);
    EXPECT_GT(console.idles, 0);
    close(outFd);
    close(leaky[0]);
    close(leaky[1]);
    unsetenv("FLASHER_TEST_FD");
    EXPECT_EQ(Lines(ReadAll(out)),
              (std::vector<std::string>{"clean", "to the console", "to the error stream"}));
    EXPECT_EQ(console.calls, (std::vector<std::string>{"open Installing Firmware 112", "close"}));
}

TEST_F(RunFlasherTest, AConsoleTerminalIsTheFlashersOwnInASessionOfItsOwn) {
    // A console window's pseudo-terminal (the wizard keeps its far side open, as the desktop
    // console does): the flasher's standard streams and its controlling terminal, so that the
    // interrupt character typed there is SIGINT for the flasher alone.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    const int slave = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
    InstallFlasher(R"(trap 'echo interrupted; printf 1234560 > status.err; exit 0' INT
set -- $(cut -d ' ' -f 6,7 /proc/$$/stat)
echo "session $1 terminal $2 process $$"
sleep 1
echo ready
while :; do sleep 0.05; done)");
    struct Window : ui::ConsoleLender {
        int master;
        std::string terminal_, seen;
        bool typed = false;
        std::string terminal() const override { return terminal_; }
        bool keepGoing() override {
            char buffer[512];
            for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
                seen.append(buffer, std::size_t(n));
            if (!typed && seen.find("ready") != std::string::npos) {
                typed = write(master, "\x03", 1) == 1;  // Ctrl+C on the console
            }
            return true;
        }
    } console;
    console.master = master;
    console.terminal_ = terminal;
    surroundings_.console = &console;
    const std::string& seen = console.seen;
    struct stat info {};
    ASSERT_EQ(stat(terminal.c_str(), &info), 0);
    EXPECT_EQ(Run(1, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Succeeded);
    console.keepGoing();
    close(slave);
    close(master);
    EXPECT_TRUE(console.typed);
    EXPECT_NE(seen.find("interrupted\r\n"), std::string::npos) << seen;
    std::istringstream words(seen.substr(seen.find("session ")));
    std::string word;
    long session = 0, process = -1;
    unsigned long device = 0;
    words >> word >> session >> word >> device >> word >> process;
    EXPECT_EQ(session, process);  // a session of its own
    // /proc's tty_nr encoding of the terminal's device number.
    const unsigned long expected = (minor(info.st_rdev) & 0xFFu) | (major(info.st_rdev) << 8) |
                                   ((minor(info.st_rdev) & ~0xFFu) << 12);
    EXPECT_EQ(device, expected) << seen;
    EXPECT_TRUE(TempFolderEmpty());
}

TEST_F(RunFlasherTest, EarlyExitMeansAMissingFirmwareFileEvenWithASuccessFile) {
    InstallFlasher("printf 'xxxxxx0' > status.err");
    ConsoleRecorder console;  // taken back before the message
    surroundings_.console = &console;
    surroundings_.showMessage = [&](const std::string& text) {
        console.calls.push_back("message");
        messages_.push_back(text);
    };
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::EndedEarly);
    EXPECT_EQ(console.calls,
              (std::vector<std::string>{"open Installing Firmware 112", "close", "message"}));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0],
              fmt::sprintf(res::LoadString(res::ids::kFirmwareNotFound), "508231.005") +
                  "\r\n\r\nLooked in: " + wizard_.string());
    EXPECT_EQ(messages_[0].rfind("508231.005 cannot be found.", 0), 0u);
    EXPECT_TRUE(TempFolderEmpty());
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
        EXPECT_EQ(Run(3, 19200, 115200, 20000, res::ids::kUpdateFailed), c.expected);
        if (c.expected == FlasherResult::Succeeded) {
            EXPECT_TRUE(messages_.empty());
        } else {
            EXPECT_EQ(messages_,
                      std::vector<std::string>{res::LoadString(res::ids::kUpdateFailed)});
        }
        EXPECT_TRUE(TempFolderEmpty());
    }
    // The restore road's caller passes its own message.
    messages_.clear();
    InstallFlasher("sleep 1");
    EXPECT_EQ(Run(1, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(res::ids::kRestoreFailed)});

    // The flasher's own last words after the result byte: one line of printable text goes under
    // the message; control characters and the lines after it do not.
    messages_.clear();
    InstallFlasher(
        "sleep 1\nprintf 'STATUS3  Stopped \\033[2Jduring the erase. \\r\\nsecond line' > "
        "status.err");
    EXPECT_EQ(Run(1, 9600, 9600, 20000, res::ids::kRestoreFailed), FlasherResult::Failed);
    EXPECT_EQ(messages_,
              std::vector<std::string>{
                  res::LoadString(res::ids::kRestoreFailed) +
                  std::string("\r\n\r\nThe flasher reported: Stopped [2Jduring the erase.")});
    EXPECT_TRUE(TempFolderEmpty());
}

TEST_F(RunFlasherTest, ATimedOutFlasherKeepsRunningAndNoSecondOneStartsMeanwhile) {
    // Runs until the test lets it go, then reports success far too late.
    InstallFlasher(R"(echo $$ > "$FLASHER_TEST_DIR/pid"
while [ ! -e "$FLASHER_TEST_DIR/release" ]; do sleep 0.05; done
printf 'xxxxxx0' > status.err
touch "$FLASHER_TEST_DIR/finished")");
    EXPECT_EQ(Run(2, 19200, 115200, 300, res::ids::kUpdateFailed), FlasherResult::TimedOut);
    EXPECT_EQ(messages_,
              std::vector<std::string>{res::LoadString(res::ids::kTimedOut) +
                                       std::string("\r\n\r\nThe flasher is still running.")});

    ASSERT_TRUE(WaitFor([&] { return fs::exists(root_ / "pid"); }));
    const pid_t pid = std::stoi(ReadAll(root_ / "pid"));
    EXPECT_EQ(kill(pid, 0), 0) << "the flasher should still be running";

    // While it lives, no second flasher is started.
    messages_.clear();
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::TimedOut);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find("The flasher started before is still running"), std::string::npos);
    EXPECT_FALSE(fs::exists(root_ / "finished"));

    WriteAll(root_ / "release", "");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(root_ / "finished"); }));
    // Ended, not yet reaped (a zombie): only then is the next run sure to find it gone.
    ASSERT_TRUE(WaitFor([&] {
        return ReadAll("/proc/" + std::to_string(pid) + "/stat").find(") Z ") != std::string::npos;
    }));
    EXPECT_FALSE(TempFolderEmpty()) << "its folder stays while the wizard has not looked again";

    // Once it has ended the next run starts, on its own result: the late success is not taken.
    messages_.clear();
    InstallFlasher("sleep 1");
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::Failed);
    EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(res::ids::kUpdateFailed)});
    EXPECT_TRUE(TempFolderEmpty());
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));  // reaped, not a zombie
}

TEST_F(RunFlasherTest, AMissingFlasherIsNotStarted) {
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::NotStarted);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], fmt::sprintf(res::LoadString(res::ids::kFlasherNotFound), "prog.exe") +
                                "\r\n\r\nLooked in: " + wizard_.string());
    EXPECT_EQ(messages_[0].rfind("prog.exe cannot be found.", 0), 0u);

    // Not on PATH either: only the wizard's folder counts.
    InstallFlasher("sleep 1; printf 'xxxxxx0' > status.err");
    const fs::path elsewhere = root_ / "elsewhere";
    surroundings_.programFolder = elsewhere.string();
    fs::create_directories(elsewhere);
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (wizard_.string() + ":" + oldPath).c_str(), 1);
    messages_.clear();
    EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::NotStarted);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(messages_, std::vector<std::string>{
                             fmt::sprintf(res::LoadString(res::ids::kFlasherNotFound), "prog.exe") +
                             "\r\n\r\nLooked in: " + elsewhere.string()});
}

TEST_F(RunFlasherTest, RefusesAResultFileThatIsNotARegularFileOfOurs) {
    // The flasher replaces its result with a link to a file that reports success.
    WriteAll(root_ / "planted", "xxxxxx0");
    struct Case {
        const char* name;
        std::string script;
    };
    std::vector<Case> cases = {
        {"link", "ln -s \"$FLASHER_TEST_DIR/planted\" status.err"},
        {"fifo", "mkfifo status.err"},  // must neither block the wizard nor count
        {"folder", "mkdir status.err && printf 'xxxxxx0' > status.err/x"},
    };
    if (geteuid() == 0)
        cases.push_back(
            {"another user's file", "printf 'xxxxxx0' > status.err && chown 65534 status.err"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages_.clear();
        InstallFlasher("sleep 1\n" + c.script);
        EXPECT_EQ(Run(2, 19200, 115200, 20000, res::ids::kUpdateFailed), FlasherResult::Failed);
        EXPECT_EQ(messages_, std::vector<std::string>{res::LoadString(res::ids::kUpdateFailed)});
        EXPECT_TRUE(TempFolderEmpty());
    }
    EXPECT_EQ(ReadAll(root_ / "planted"), "xxxxxx0") << "only the link is deleted";
}

TEST(FlasherSeamTest, NoFolderMeansNoFlasher) {
    // A prog.exe in the current folder is never started in place of the wizard's own.
    char pattern[] = "/tmp/flasher-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path here = pattern;
    WriteAll(here / "prog.exe", "#!/bin/sh\ntouch ran\n");
    fs::permissions(here / "prog.exe", fs::perms::owner_all);
    const fs::path before = fs::current_path();
    fs::current_path(here);
    EXPECT_EQ(flasher_os::StartFlasher("", "prog.exe \"x\" 1 P 9600 9600", here.string() + "/", {}),
              nullptr);
    fs::current_path(before);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(here / "ran"));
    fs::remove_all(here);
}
