// The real reflasher program in a real terminal: a detached tmux session (80 x 24, private socket),
// driven by send-keys and read by capture-pane, against simulated receivers on pseudo-terminals
// and the stand-in flasher prog.exe that really flashes them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kBin = REFLASHER_BIN_DIR;
// Generous: the machine is loaded and everything runs under the sanitizers.
constexpr auto kScreenDeadline = 90s;

struct Ran {
    int status = -1;  // waitpid status
    std::string output;
};

// Runs a program (no shell) and collects its standard output and error.
Ran run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
        bool stdinFromNull = false) {
    Ran ran;
    int out[2];
    if (pipe(out) != 0) return ran;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFromNull) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("TMUX=", 0) == 0) continue;  // we may be running inside someone's tmux
        // A desktop session's display: the wizard would open its window there, not in the terminal.
        if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
        bool replaced = false;
        for (const std::string& x : extraEnv)
            replaced =
                replaced || entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        ran.output = "cannot start " + args[0];
        return ran;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        ran.output.append(buffer, std::size_t(n));
    }
    close(out[0]);
    waitpid(pid, &ran.status, 0);
    return ran;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "reflasher-e2e-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// One receiver-sim child serving a pseudo-terminal behind a link at `link`.
class Simulator {
  public:
    Simulator(const std::string& link, std::vector<std::string> options) {
        // --fast: these flashes need not take as long as on a real line.
        std::vector<std::string> args = {kBin + "/receiver-sim", "--fast", "--link", link};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        auto deadline = Clock::now() + 30s;
        struct stat st {};
        while (pid_ > 0 && lstat(link.c_str(), &st) != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ready_ = pid_ > 0 && lstat(link.c_str(), &st) == 0;
    }
    ~Simulator() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A detached tmux session on a socket of its own, with one 80 x 24 pane running `command`.
class Tmux {
  public:
    Tmux(const std::string& folder, const std::string& command) : folder_(folder) {
        static std::atomic<int> counter{0};
        socket_ = "e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        Ran ran = tmux(
            {"-f", "/dev/null", "new-session", "-d", "-x", "80", "-y", "24", "-s", "e2e", command});
        started_ = WIFEXITED(ran.status) && WEXITSTATUS(ran.status) == 0;
        if (!started_) ADD_FAILURE() << "tmux did not start: " << ran.output;
    }
    ~Tmux() { tmux({"kill-server"}); }

    bool started() const { return started_; }
    void keys(const std::vector<std::string>& keys) {
        std::vector<std::string> args = {"send-keys", "-t", "e2e"};
        args.insert(args.end(), keys.begin(), keys.end());
        tmux(args);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "e2e"}).output; }
    std::string format(const std::string& f) {
        std::string out = tmux({"display-message", "-p", "-t", "e2e", f}).output;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // Waits until `text` has left the screen.
    bool waitForGone(const std::string& text) {
        auto deadline = Clock::now() + kScreenDeadline;
        while (screen().find(text) != std::string::npos) {
            if (Clock::now() > deadline) {
                ADD_FAILURE() << "\"" << text << "\" stays on the screen:\n" << screen();
                return false;
            }
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }
    // Waits until `text` is on the screen `times` times or more.
    bool waitForTimes(const std::string& text, std::size_t times) {
        auto deadline = Clock::now() + kScreenDeadline;
        while (Clock::now() < deadline) {
            const std::string shown = screen();
            std::size_t count = 0;
            for (std::size_t at = shown.find(text); at != std::string::npos;
                 at = shown.find(text, at + 1))
                ++count;
            if (count >= times) return true;
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "\"" << text << "\" not " << times << " times on the screen:\n"
                      << screen();
        return false;
    }
    // Waits until every one of `texts` is on the screen at once.
    bool waitFor(const std::vector<std::string>& texts) {
        auto deadline = Clock::now() + kScreenDeadline;
        std::string shown;
        for (;;) {
            shown = screen();
            bool all = true;
            for (const std::string& t : texts) all = all && shown.find(t) != std::string::npos;
            if (all) return true;
            if (Clock::now() > deadline) break;
            std::this_thread::sleep_for(100ms);
        }
        std::string wanted;
        for (const std::string& t : texts) wanted += "\"" + t + "\" ";
        ADD_FAILURE() << "never on the screen together: " << wanted << "\nlast screen:\n" << shown;
        return false;
    }

    Ran tmuxCommand(const std::vector<std::string>& args) { return tmux(args); }

  private:
    Ran tmux(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"tmux", "-L", socket_};
        all.insert(all.end(), args.begin(), args.end());
        // The socket lives in the test's folder; a terminal type for tmux itself when CI has none.
        std::vector<std::string> env = {"TMUX_TMPDIR=" + folder_};
        const char* term = std::getenv("TERM");
        if (!term || !*term || std::string(term) == "dumb") env.push_back("TERM=xterm-256color");
        return run(all, env);
    }

    std::string folder_;
    std::string socket_;
    bool started_ = false;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The shell line the pane runs: the wizard with the COM ports mapped (its process id in
// wizard.pid), between two snapshots of the terminal modes, then its exit status; the pane stays
// for the test to read.
std::string wizardCommand(const std::string& dir, const std::string& locale,
                          const std::string& extra = {}) {
    return "trap 'echo INTERRUPTED' INT; stty -g > " + dir + "/stty.before; sh -c 'echo $$ > " +
           dir + "/wizard.pid; exec env LC_ALL=" + locale + " REFLASHER_COM1=" + dir +
           "/com1 REFLASHER_COM2=" + dir + "/com2 REFLASHER_COM3=" + dir + "/com3 TMPDIR=" + dir +
           "/ " + extra + " " + kBin + "/reflasher'; echo EXIT=$?; stty -g > " + dir +
           "/stty.after; echo STTY-SAVED; sleep 600";
}

// Whether a capture with escape codes sets any foreground or background colour.
bool hasColour(const std::string& capture) {
    for (std::size_t at = capture.find("\033["); at != std::string::npos;
         at = capture.find("\033[", at + 1)) {
        std::size_t end = capture.find('m', at);
        if (end == std::string::npos) break;
        std::stringstream params(capture.substr(at + 2, end - at - 2));
        for (std::string p; std::getline(params, p, ';');) {
            int n = std::atoi(p.c_str());
            if ((n >= 30 && n <= 38) || (n >= 40 && n <= 48) || (n >= 90 && n <= 107)) return true;
        }
    }
    return false;
}

bool safePath(const std::string& p) {
    return !p.empty() &&
           p.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-") ==
               std::string::npos;
}

class TerminalWizard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(safePath(dir_.path()))
            << "temporary folder with unusual characters: " << dir_.path();
        ASSERT_EQ(run({"tmux", "-V"}).status, 0) << "tmux is needed (make deps installs it)";
    }
    TempDir dir_;
};

// Update road on COM Port 1: found at 19200, flashed from 004 to 005, Yes brings the port page
// back; a receiver on COM2 that keeps its old firmware gets no completion page; a second visit to
// COM1 reads the new version, and No on the second completion ends the program.
TEST_F(TerminalWizard, UpdateRoadOnCom1ThroughCompletionAndNo) {
    const std::string d = dir_.path();
    Simulator com1(d + "/com1", {"--baud", "19200", "--serial-prefix", "VIZ", "--version",
                                 "169-508231-004", "--battery", "4000", "--external", "0"});
    ASSERT_TRUE(com1.ready());
    Simulator com2(d + "/com2", {"--fault", "keeps-old-version"});
    ASSERT_TRUE(com2.ready());
    Tmux t(d, wizardCommand(d, "C.UTF-8"));
    ASSERT_TRUE(t.started());

    ASSERT_TRUE(
        t.waitFor({"Welcome", "This utility will update the firmware on your Vandrel receiver.",
                   "< Next >"}));
    EXPECT_EQ(t.format("#{alternate_on}"), "1");
    EXPECT_TRUE(hasColour(t.tmuxCommand({"capture-pane", "-p", "-e", "-t", "e2e"}).output));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "Select COM Port", "COM Port 1", "< Restore >"}));
    t.keys({"M-n"});  // Alt+N: the list has the focus and would take a plain letter
    ASSERT_TRUE(
        t.waitFor({"Receiver Information", "Serial Number:", "VIZ", "Firmware Version:",
                   "The receiver is connected to your PC COM port 1 at a baud rate of 19200.",
                   "< Update >"}));
    EXPECT_NE(t.screen().find("004"), std::string::npos);
    // The instructions are longer than their box at 80 x 24: PgDn shows the closing warning.
    EXPECT_EQ(t.screen().find("Restore option in this utility."), std::string::npos);
    t.keys({"NPage"});
    ASSERT_TRUE(t.waitFor(
        {"receiver to become non-operational.", "Restore option in this utility.", "< Update >"}));
    t.keys({"Enter"});  // Update is the default button
    ASSERT_TRUE(t.waitFor({"Update Successful", "Receiver number VIZ",
                           "has been successfully upgraded from", "firmware version 004 to 005.",
                           "Would you like to upgrade another receiver?"}));

    // The receiver on COM2 takes the flash, but runs its old firmware on: the receiver has the
    // last word, and the page comes back.
    t.keys({"y"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"M-s"});  // the list's label: the focus goes to the list
    t.keys({"Down"});
    ASSERT_TRUE(t.waitFor({"COM Port 2"}));
    t.keys({"M-n"});
    ASSERT_TRUE(
        t.waitFor({"Receiver Information", "COM port 2 at a baud rate of 19200.", "< Update >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({" reflasher ", "If the utility froze during the update process",
                           "The receiver still runs firmware version 004, not 005.", "< OK >"}));
    EXPECT_EQ(t.screen().find("Update Successful"), std::string::npos);
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "COM port 2", "< Update >"}));
    t.keys({"M-b"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 2"}));
    t.keys({"M-s"});
    t.keys({"Up"});
    ASSERT_TRUE(t.waitFor({"COM Port 1"}));
    t.keys({"M-n"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "baud rate of 19200."}));
    std::string second = t.screen();
    EXPECT_NE(second.find("Firmware Version:    005"), std::string::npos)
        << second;  // the flash was real
    t.keys({"M-u"});
    ASSERT_TRUE(t.waitFor({"Update Successful", "firmware version 005 to 005."}));
    t.keys({"n"});
    ASSERT_TRUE(t.waitFor({"EXIT=0", "STTY-SAVED"}));
    // The flasher had the terminal meanwhile: its title bar and output stay on the normal screen.
    std::string after = t.screen();
    EXPECT_NE(after.find("Installing Firmware"), std::string::npos) << after;
    EXPECT_NE(after.find("169-508231-005"), std::string::npos) << after;
    EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag} #{keypad_cursor_flag}"), "0 1 0");
    EXPECT_EQ(readFile(d + "/stty.before"), readFile(d + "/stty.after"));
    EXPECT_FALSE(fs::exists(d + "/status.err"));
}

// While prog.exe runs it has the terminal: its title, its output, and Ctrl+C, which stops the
// flash and not the wizard; the wizard then reports the failure and shows its page again.
TEST_F(TerminalWizard, FlasherGetsTheTerminalAndCtrlC) {
    const std::string d = dir_.path();
    Simulator com1(d + "/com1", {"--baud", "19200"});
    ASSERT_TRUE(com1.ready());
    // prog.exe's test hook: stop after three written blocks until interrupted.
    Tmux t(d, wizardCommand(d, "C.UTF-8", "REFLASHER_PROG_HOLD_AFTER=3"));
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Choose Connection"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "< Update >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Installing Firmware", "Writing"}));
    EXPECT_EQ(t.format("#{alternate_on} #{pane_title}"), "0 Installing Firmware");
    // Ctrl+C asks first, Ctrl+\ is the flasher's too (the wizard lives on), and a second Ctrl+C
    // while the question is open stops at once.
    t.keys({"C-c"});
    ASSERT_TRUE(
        t.waitFor({"Stop now? The receiver will have no firmware until it is restored. y/N"}));
    t.keys({"n"});
    ASSERT_TRUE(t.waitFor({"Going on."}));
    t.keys({"C-\\"});
    ASSERT_TRUE(t.waitForTimes("y/N", 2));
    t.keys({"C-c"});
    ASSERT_TRUE(
        t.waitFor({" reflasher ", "If the utility froze during the update process", "< OK >"}));
    EXPECT_TRUE(t.waitFor({"The flasher reported: Stopped by the operator during the"}));
    EXPECT_EQ(t.format("#{alternate_on}"), "1");
    EXPECT_NE(t.format("#{pane_title}"), "Installing Firmware");
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "< Update >"}));
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"EXIT=4", "STTY-SAVED"}));
    EXPECT_EQ(readFile(d + "/stty.before"), readFile(d + "/stty.after"));
}

// Restore road on COM Port 3: the receiver does not answer (message 109 first), Restore with the
// grey-top design flashes it through its bootloader, and afterwards it answers with 005.
TEST_F(TerminalWizard, RestoreRoadOnCom3) {
    const std::string d = dir_.path();
    Simulator com3(d + "/com3", {"--bricked", "1"});
    ASSERT_TRUE(com3.ready());
    Tmux t(d, wizardCommand(d, "C"));  // no UTF-8: the plain-character drawing
    ASSERT_TRUE(t.started());

    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    t.keys({"M-n"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"Down"});
    t.keys({"Down"});
    ASSERT_TRUE(t.waitFor({"COM Port 3"}));
    t.keys({"Enter"});
    ASSERT_TRUE(
        t.waitFor({" reflasher ", "No receiver found.  Make sure the serial cable is connected to",
                   "the specified COM port.", "< OK >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 3"}));

    t.keys({"M-r"});
    ASSERT_TRUE(t.waitFor({"Restore", "Please select the design of your receiver.",
                           "(*) White top with logo", "( ) Grey top without logo"}));
    t.keys({"Down"});  // arrows move the check within the radio group
    ASSERT_TRUE(t.waitFor({"( ) White top with logo", "(*) Grey top without logo"}));
    t.keys({"Tab"});  // to the Restore button; Enter presses the focused button
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Update Successful",
                           "The receiver has been successfully restored to firmware version 005.",
                           "Would you like to restore another receiver?"}));
    t.keys({"Enter"});  // Yes
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 3"}));
    t.keys({"n"});  // Enter would press Restore again: that button kept the focus
    ASSERT_TRUE(
        t.waitFor({"Receiver Information", "baud rate of 19200.", "Firmware Version:    005"}));
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"EXIT=0", "STTY-SAVED"}));
    EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag}"), "0 1");
    EXPECT_EQ(readFile(d + "/stty.before"), readFile(d + "/stty.after"));
}

// Ctrl+C in the middle of the wizard ends it by the signal and leaves the terminal as it was; a
// terminal that cannot be used gives a clear message and no screen codes.
TEST_F(TerminalWizard, CtrlCAndUnusableTerminals) {
    const std::string d = dir_.path();
    {
        Tmux t(d, wizardCommand(d, "C.UTF-8"));
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
        t.keys({"Enter"});
        ASSERT_TRUE(t.waitFor({"Choose Connection"}));
        t.keys({"C-c"});
        ASSERT_TRUE(t.waitFor({"INTERRUPTED", "EXIT=130", "STTY-SAVED"}));
        EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag} #{keypad_cursor_flag}"), "0 1 0");
        EXPECT_EQ(readFile(d + "/stty.before"), readFile(d + "/stty.after"));
    }
    // SIGTERM, and a crash (SIGSEGV: the sanitizer's report or the default action still follow).
    for (int signalNumber : {SIGTERM, SIGSEGV}) {
        Tmux t(d, wizardCommand(d, "C.UTF-8"));
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
        pid_t wizard = pid_t(std::atoi(readFile(d + "/wizard.pid").c_str()));
        ASSERT_GT(wizard, 0);
        kill(wizard, signalNumber);
        ASSERT_TRUE(t.waitFor({"EXIT=", "STTY-SAVED"}));
        EXPECT_EQ(t.screen().find("EXIT=0"), std::string::npos);
        EXPECT_EQ(t.format("#{alternate_on} #{cursor_flag} #{keypad_cursor_flag}"), "0 1 0")
            << signalNumber;
        EXPECT_EQ(readFile(d + "/stty.before"), readFile(d + "/stty.after")) << signalNumber;
    }
    {
        Tmux t(d, wizardCommand(d, "C", "TERM=dumb"));
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(
            t.waitFor({"reflasher: the terminal \"dumb\" cannot position the cursor", "EXIT=1"}));
    }
    Ran noTerminal = run({kBin + "/reflasher"}, {}, true);
    EXPECT_TRUE(WIFEXITED(noTerminal.status) && WEXITSTATUS(noTerminal.status) == 1)
        << noTerminal.output;
    EXPECT_EQ(noTerminal.output,
              "reflasher: standard input and output are not a terminal; both must be (run it in a "
              "terminal window or "
              "over SSH)\n");
    {
        Tmux t(d, wizardCommand(d, "C", "TERM=no-such-terminal-type"));
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(
            t.waitFor({"reflasher: unknown terminal type \"no-such-terminal-type\"", "EXIT=1"}));
    }
}

// The flasher's failure box ends with the wizard when its terminal closes, also when it was started
// with SIGHUP ignored, and at SIGTERM; the flasher's run folder is gone.
TEST_F(TerminalWizard, TheFlashersFailureBoxEndsWithTheTerminalOrSIGTERM) {
    const std::string d = dir_.path();
    for (const std::string how : {"hang-up", "hang-up with SIGHUP ignored", "SIGTERM"}) {
        SCOPED_TRACE(how);
        // Nothing behind COM1: the flasher gives up at once.
        const bool ignored = how.find("ignored") != std::string::npos;
        auto t = std::make_unique<Tmux>(
            d, wizardCommand(d, "C.UTF-8", ignored ? "env --ignore-signal=HUP" : ""));
        ASSERT_TRUE(t->waitFor({"Welcome", "< Next >"}));
        t->keys({"Enter"});
        ASSERT_TRUE(t->waitFor({"Choose Connection"}));
        t->keys({"M-r"});
        ASSERT_TRUE(t->waitFor({"Please select the design of your receiver."}));
        t->keys({"Enter"});
        ASSERT_TRUE(t->waitFor({" reflasher ", "< OK >"}));
        const pid_t wizard = pid_t(std::atoi(readFile(d + "/wizard.pid").c_str()));
        ASSERT_GT(wizard, 0);
        if (how == "SIGTERM") {
            kill(wizard, SIGTERM);
            EXPECT_TRUE(t->waitFor({"EXIT=143", "STTY-SAVED"}));
        }
        t.reset();          // the tmux server ends: the terminal hangs up
        auto ended = [&] {  // a zombie nobody reaps counts as ended
            const std::string stat = readFile("/proc/" + std::to_string(wizard) + "/stat");
            return stat.empty() || stat[stat.rfind(") ") + 2] == 'Z';
        };
        for (auto until = Clock::now() + kScreenDeadline; !ended() && Clock::now() < until;)
            std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(ended() || kill(wizard, SIGKILL) != 0);  // (and it does not outlive the test)
        for (const auto& entry : fs::directory_iterator(d))
            EXPECT_NE(entry.path().filename().string().rfind("reflasher-", 0), 0u);
    }
}

// Without colours the wizard still works and animates; the window menu minimises and restores the
// Welcome page and opens the About box; the dialogs follow the terminal's size.
TEST_F(TerminalWizard, MonochromeWindowMenuAndResize) {
    const std::string d = dir_.path();
    Tmux t(d, wizardCommand(d, "C.UTF-8", "TERM=vt100"));
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    // The animation runs: the frame's rows change on their own (only they do).
    const std::string still = t.screen();
    auto deadline = Clock::now() + kScreenDeadline;
    while (t.screen() == still && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_NE(t.screen(), still);

    // Minimise through the window menu, then restore from the minimised window's menu.
    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor({"Minimize", "Close", "About Firmware..."}));
    t.keys({"n"});
    ASSERT_TRUE(t.waitFor({"Welcome"}));
    auto minimised = [&] { return t.screen().find("< Next >") == std::string::npos; };
    deadline = Clock::now() + kScreenDeadline;
    while (!minimised() && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(minimised());
    EXPECT_TRUE(
        t.waitFor({"Welcome", "Minimised: press Enter (or Alt+Space) and choose Restore."}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Restore", "Close"}));
    t.keys({"r"});
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));

    t.keys({"M-Space"});
    ASSERT_TRUE(t.waitFor({"Minimize", "Close", "About Firmware..."}));
    t.keys({"a"});
    ASSERT_TRUE(t.waitFor({"About Reflasher", "Reflasher Version 1.0", "< OK >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    EXPECT_EQ(t.screen().find("About Reflasher"), std::string::npos);

    auto firstLine = [&] {
        std::string s = t.screen();
        return s.substr(0, s.find('\n'));
    };
    const std::string before = firstLine();
    t.tmuxCommand({"resize-window", "-t", "e2e", "-x", "100", "-y", "30"});
    deadline = Clock::now() + kScreenDeadline;
    while (firstLine() == before && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
    const std::string wider = firstLine();
    EXPECT_NE(wider, before);
    EXPECT_EQ(wider.find("Welcome"), before.find("Welcome") + 10)
        << wider;  // still centred, 10 cells on
    EXPECT_FALSE(hasColour(t.tmuxCommand({"capture-pane", "-p", "-e", "-t", "e2e"}).output));
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"EXIT=3", "STTY-SAVED"}));
}

// Keys typed while the wizard could not take them never act on a page the operator has not seen:
// a second Enter on the port page does not press Update, an Escape during "Connecting..." does not
// end the wizard; nor does an Enter held down (repeating 30 times a second) from the Welcome page.
// Plain letters on the COM port list pick entries rather than pressing buttons.
TEST_F(TerminalWizard, TypedAheadAndHeldKeysAndLettersOnTheListPressNothing) {
    const std::string d = dir_.path();
    Simulator com1(d + "/com1",
                   {"--baud", "9600"});  // the 19200 try first: connecting takes a while
    ASSERT_TRUE(com1.ready());
    Tmux t(d, wizardCommand(d, "C.UTF-8"));
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    t.tmuxCommand({"pipe-pane", "-I", "-t", "e2e", "while :; do printf '\\r'; sleep 0.03; done"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    std::this_thread::sleep_for(3s);  // held on the port page
    t.tmuxCommand({"pipe-pane", "-t", "e2e"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"c"});  // the next entry that begins with c
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 2"}));
    t.keys({"r", "b", "Up"});  // no entry begins with r or b: nothing is pressed
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    EXPECT_EQ(t.screen().find("Please select the design"), std::string::npos);

    t.keys({"Enter", "Enter"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "baud rate of 9600.", "< Update >"}));
    t.keys({"M-b"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Connecting at"}));
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "baud rate of 9600.", "< Update >"}));
    // The page took neither key: Escape now ends the wizard, which flashed nothing.
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"EXIT=3", "STTY-SAVED"}));
    EXPECT_EQ(t.screen().find("Installing Firmware"), std::string::npos);
}

// The receiver information page at every size from 80 x 24 up keeps each label and its value on
// one row and every text whole; smaller, a window says in one line that it does not fit. The COM
// port list opens with F4 and takes an entry with Enter.
TEST_F(TerminalWizard, LayoutHoldsAtEverySize) {
    const std::string d = dir_.path();
    Simulator com1(d + "/com1", {"--baud", "19200"});
    ASSERT_TRUE(com1.ready());
    Tmux t(d, wizardCommand(d, "C.UTF-8"));
    ASSERT_TRUE(t.waitFor({"Welcome", "< Next >"}));
    t.keys({"Enter"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"F4"});
    ASSERT_TRUE(t.waitFor({"COM Port 1", "COM Port 2", "COM Port 3", "COM Port 4"}));
    t.keys({"Down", "Down", "Escape"});  // Escape closes the list and keeps the entry
    ASSERT_TRUE(t.waitForGone("COM Port 3"));
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 1"}));
    t.keys({"M-Down", "Down", "Down", "Up", "Enter"});
    ASSERT_TRUE(t.waitFor({"Choose Connection", "COM Port 2"}));
    t.keys({"Up", "M-n"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "< Update >"}));

    // The row holding `label`, with what the screen shows there.
    auto rowOf = [](const std::string& screen, const std::string& label) {
        const std::size_t at = screen.find(label);
        if (at == std::string::npos) return std::string();
        const std::size_t start = screen.rfind('\n', at) + 1;
        return screen.substr(start, screen.find('\n', at) - start);
    };
    for (auto [x, y] : {std::pair{80, 24}, {100, 30}, {120, 40}, {200, 60}}) {
        SCOPED_TRACE(std::to_string(x) + " x " + std::to_string(y));
        t.tmuxCommand(
            {"resize-window", "-t", "e2e", "-x", std::to_string(x), "-y", std::to_string(y)});
        ASSERT_TRUE(t.waitFor({"Receiver Information", "< Update >"}));
        ASSERT_TRUE(t.waitFor(
            {"The receiver is connected to your PC COM port 1 at a baud rate of 19200."}));
        const std::string screen = t.screen();
        EXPECT_NE(rowOf(screen, "Serial Number:").find("VIZ12345678"), std::string::npos) << screen;
        EXPECT_NE(rowOf(screen, "Firmware Version:").find(" 004 "), std::string::npos) << screen;
        const std::string buttons = rowOf(screen, "< Update >");
        EXPECT_NE(buttons.find("< Back >"), std::string::npos) << screen;
        EXPECT_NE(buttons.find("< Cancel >"), std::string::npos) << screen;
        // The instructions start whole, wrapped at word boundaries.
        EXPECT_NE(rowOf(screen, "If the Serial Number is different")
                      .find("If the Serial Number is different than"),
                  std::string::npos)
            << screen;
    }
    t.tmuxCommand({"resize-window", "-t", "e2e", "-x", "60", "-y", "20"});
    ASSERT_TRUE(t.waitFor({"\"Receiver Information\" needs at least 79 x 24 characters;"}));
    EXPECT_EQ(t.screen().find("Serial Number:"), std::string::npos);
    t.tmuxCommand({"resize-window", "-t", "e2e", "-x", "80", "-y", "24"});
    ASSERT_TRUE(t.waitFor({"Receiver Information", "< Update >"}));
    t.keys({"Escape"});
    ASSERT_TRUE(t.waitFor({"EXIT=3", "STTY-SAVED"}));
}

TEST(TerminalWizardCommandLine, VersionHelpAndUnknownOptions) {
    Ran version = run({kBin + "/reflasher", "--version"}, {}, true);
    EXPECT_TRUE(WIFEXITED(version.status) && WEXITSTATUS(version.status) == 0);
    EXPECT_EQ(version.output, "reflasher 1.0\n");
    Ran help = run({kBin + "/reflasher", "--help"}, {}, true);
    EXPECT_TRUE(WIFEXITED(help.status) && WEXITSTATUS(help.status) == 0);
    for (const char* part : {"--version", "Alt+Down, F4, Space",
                             "Exit codes:", "3    the operator left without flashing"})
        EXPECT_NE(help.output.find(part), std::string::npos) << part << "\n" << help.output;
    // For people: none of the option library's notation, no message numbers.
    for (const char* part : {"Excludes", "Needs:", "{", "TEXT", "message 1", "messages 1"})
        EXPECT_EQ(help.output.find(part), std::string::npos) << part << "\n" << help.output;
    // The manual page shows the same text: every word of the help, in order, in the rendered page.
    Ran manual = run({"/bin/sh", "-c", "groff -man -Tascii -P-cbou '" REFLASHER_MANUAL "'"});
    auto words = [](const std::string& text) {
        std::vector<std::string> found;
        std::istringstream in(text);
        for (std::string w; in >> w;) {
            for (char& c : w) c = char(std::tolower(static_cast<unsigned char>(c)));
            if (w.back() == ':') w.pop_back();
            if (!w.empty() && w != "usage") found.push_back(w);
        }
        return found;
    };
    const std::vector<std::string> helpWords = words(help.output),
                                   manualWords = words(manual.output);
    std::size_t matched = 0;
    for (std::size_t m = 0; m < manualWords.size() && matched < helpWords.size(); ++m)
        if (manualWords[m] == helpWords[matched]) ++matched;
    EXPECT_EQ(matched, helpWords.size())
        << "the manual page stops following --help at \"" << helpWords[matched] << "\"\n"
        << manual.output;
    Ran unknown = run({kBin + "/reflasher", "--frobnicate"}, {}, true);
    EXPECT_TRUE(WIFEXITED(unknown.status) && WEXITSTATUS(unknown.status) == 2);
    EXPECT_EQ(unknown.output.rfind("reflasher: unknown option: --frobnicate\n", 0), 0u)
        << unknown.output;
    EXPECT_NE(unknown.output.find("--version"), std::string::npos);
    // The front end: both at once is a bad command line; a window without a display says why not.
    Ran both = run({kBin + "/reflasher", "--terminal", "--desktop"}, {}, true);
    EXPECT_TRUE(WIFEXITED(both.status) && WEXITSTATUS(both.status) == 2) << both.output;
    EXPECT_EQ(both.output.rfind("reflasher: --terminal excludes --desktop\n", 0), 0u)
        << both.output;
    Ran noDisplay = run({kBin + "/reflasher", "--desktop"}, {"QT_QPA_PLATFORM=xcb"}, true);
    EXPECT_TRUE(WIFEXITED(noDisplay.status) && WEXITSTATUS(noDisplay.status) == 1)
        << noDisplay.output;
    EXPECT_EQ(noDisplay.output.rfind("reflasher: no desktop window: ", 0), 0u) << noDisplay.output;
    EXPECT_EQ(noDisplay.output.find('\n'), noDisplay.output.size() - 1)
        << noDisplay.output;  // one line
}

}  // namespace
