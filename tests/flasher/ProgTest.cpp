// The stand-in flasher prog.exe (built beside this test) flashing a receiver's bootloader on a
// pseudo-terminal, alone and through RunFlasher.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/Packet.h"
#include "res/Strings.h"
#include "link/ReceiverLink.h"
#include "source/Flasher.h"
#include "tools/bootloader/SimBootloader.h"
#include "tools/bootloader/FirmwareImage.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename F>
bool WaitFor(F condition, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

// Asks the receiver for its identity through the wizard's protocol on the COM port's device,
// as the connecting page does; the firmware version it reports, or "" when nothing valid came
// back within `patience`.
std::string ReportedVersion(const std::string& device, unsigned baud,
                            std::chrono::milliseconds patience = 10s) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "(cannot open)";
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&settings, baud == 9600 ? B9600 : B19200);
    tcsetattr(fd, TCSANOW, &settings);
    tcflush(fd, TCIOFLUSH);
    std::uint8_t request[6];
    BuildRequestHeader(request, '-', 0);
    const std::uint16_t length = AppendChecksum(request, 0);
    std::string version;
    if (write(fd, request, length) == length) {
        std::vector<std::uint8_t> held;
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 20);
            std::uint8_t bytes[512];
            const ssize_t got = read(fd, bytes, sizeof bytes);
            if (got > 0) held.insert(held.end(), bytes, bytes + got);
            std::uint32_t offset = 0;
            auto size = static_cast<std::uint32_t>(held.size());
            if (held.size() >= 4 && FindPacket(held.data(), offset, size) == 0 &&
                held[offset + 1] == '-') {
                ReceiverLink link;
                link.ParseIdentityReply(held.data() + offset, size);
                version = link.identity.firmwareVersion;
                break;
            }
        }
    }
    close(fd);
    return version;
}

// Collects what a child writes into a pipe, on a thread of its own.
class OutputCapture {
  public:
    OutputCapture() {
        if (pipe2(fds_, O_CLOEXEC) != 0) return;
        thread_ = std::thread([this] {
            char buffer[512];
            ssize_t n;
            while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                text_.append(buffer, static_cast<std::size_t>(n));
            }
        });
    }
    ~OutputCapture() { Finish(); }
    int WriteEnd() const { return fds_[1]; }
    // Closes the wizard's copy of the write end and waits until every writer is gone.
    void Finish() {
        if (fds_[1] >= 0) close(fds_[1]);
        fds_[1] = -1;
        if (thread_.joinable()) thread_.join();
        if (fds_[0] >= 0) close(fds_[0]);
        fds_[0] = -1;
    }
    std::string Text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

  private:
    int fds_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::string text_;
};

class ProgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/progtest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        temp_ = root_ / "tmp";
        fs::create_directories(temp_);
        bin_ = fs::read_symlink("/proc/self/exe").parent_path();
        ASSERT_TRUE(fs::exists(bin_ / "prog.exe"));
        ASSERT_TRUE(fs::exists(bin_ / "508231.005"));
        setenv("REFLASHER_COM2", receiver_.SlavePath().c_str(), 1);
        surroundings_.tempFolder = temp_.string() + "/";
        surroundings_.showMessage = [this](const std::string& text) { messages_.push_back(text); };
    }
    void TearDown() override {
        unsetenv("REFLASHER_COM2");
        unsetenv("REFLASHER_PROG_HOLD_AFTER");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A wizard folder with prog.exe and the given image bytes (none: no firmware file).
    fs::path WizardFolder(const std::string& name, const std::vector<std::uint8_t>* image) {
        const fs::path folder = root_ / name;
        fs::create_directories(folder);
        fs::create_symlink(bin_ / "prog.exe", folder / "prog.exe");
        if (image != nullptr)
            std::ofstream(folder / "508231.005", std::ios::binary)
                .write(reinterpret_cast<const char*>(image->data()),
                       static_cast<std::streamsize>(image->size()));
        return folder;
    }

    // Starts prog.exe directly in the temporary folder, its output going to `output`.
    pid_t StartProg(const std::vector<std::string>& args, int output) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, output, 1);
        posix_spawn_file_actions_adddup2(&actions, output, 2);
        posix_spawn_file_actions_addchdir_np(&actions, temp_.c_str());
        std::vector<std::string> all{"prog.exe"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const std::string program = (bin_ / "prog.exe").string();
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // An update through `port` at 19200/115200 whose operator presses Escape in the flasher's
    // console once it shows `cue`; `text` receives everything the console showed.
    FlasherResult UpdateWithEscapeAt(const char* cue, std::int32_t port, std::string& text) {
        int keys[2];
        if (pipe2(keys, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipe for the operator's keys";
            return FlasherResult::NotStarted;
        }
        OutputCapture console;
        surroundings_.streams.input = keys[0];
        surroundings_.streams.output = console.WriteEnd();
        surroundings_.streams.error = console.WriteEnd();
        std::thread operatorThread([&] {
            if (WaitFor([&] { return console.Text().find(cue) != std::string::npos; })) {
                EXPECT_EQ(write(keys[1], "\x1b", 1), 1);
            }
        });
        const FlasherResult result = RunFlasher("508231.005", port, 19200, 115200, 60000,
                                                res::ids::kUpdateFailed, surroundings_);
        operatorThread.join();
        close(keys[0]);
        close(keys[1]);
        console.Finish();
        surroundings_.streams = {};
        text = console.Text();
        return result;
    }

    static sim::DeviceState Receiver(bool bricked) {
        sim::DeviceState device;
        device.ownBaud = 19200;
        device.firmwareVersion = "169-508231-004";
        device.bricked = bricked;
        return device;
    }
    std::string Version(std::chrono::milliseconds patience = 10s) {
        return ReportedVersion(receiver_.SlavePath(), 19200, patience);
    }

    sim::ReceiverSim receiver_{Receiver(false), sim::MakeReceiverWithBootloader()};
    fs::path root_, temp_, bin_;
    FlasherSurroundings surroundings_;
    std::vector<std::string> messages_;
};

}  // namespace

TEST_F(ProgTest, FlashesTheReceiverThroughRunFlasher) {
    EXPECT_EQ(Version(), "169-508231-004");
    OutputCapture console;
    surroundings_.streams.output = console.WriteEnd();
    surroundings_.streams.error = console.WriteEnd();
    // The real wizard folder: where this test, prog.exe and the built image live.
    EXPECT_EQ(RunFlasher("508231.005", 2, 19200, 115200, kUpdateCompletionLimitMs,
                         res::ids::kUpdateFailed, surroundings_),
              FlasherResult::Succeeded);
    console.Finish();
    EXPECT_TRUE(messages_.empty());
    // The receiver now reports the new version to the wizard's identity request.
    EXPECT_EQ(Version(), "169-508231-005");
    EXPECT_FALSE(receiver_.Device().bricked);
    const std::string output = console.Text();
    EXPECT_NE(output.find("Switching to 115200 baud"), std::string::npos) << output;
    EXPECT_NE(output.find("32796/32796 bytes"), std::string::npos) << output;
    EXPECT_NE(output.find("kB/s"), std::string::npos);
    EXPECT_NE(output.find("left"), std::string::npos);
    EXPECT_FALSE(fs::exists(temp_ / "status.err"));
}

TEST_F(ProgTest, KeepsTheContractForMissingAndDamagedImages) {
    // No firmware file: it ends at once, which the wizard reports as the file missing.
    surroundings_.programFolder = WizardFolder("without image", nullptr).string();
    EXPECT_EQ(
        RunFlasher("508231.005", 2, 19200, 115200, 60000, res::ids::kUpdateFailed, surroundings_),
        FlasherResult::EndedEarly);
    EXPECT_EQ(messages_.size(), 1u);

    // A damaged image is refused before the receiver hears a single byte, and reported.
    std::vector<std::uint8_t> image =
        firmware::BuildImage("169-508231-005", firmware::MakePayload("169-508231-005", 2000));
    image[1500] ^= 0x01;
    const fs::path folder = WizardFolder("damaged image", &image);
    OutputCapture output;
    const pid_t pid = StartProg({(folder / "508231.005").string(), "2", "P", "19200", "115200"},
                                output.WriteEnd());
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    output.Finish();
    const std::string result = ReadAll(temp_ / "status.err");
    ASSERT_GE(result.size(), 7u);
    EXPECT_EQ(result.substr(0, 7), "STATUS2");
    EXPECT_NE(result.find("CRC-32"), std::string::npos) << result;
    EXPECT_EQ(receiver_.Count().received, 0u);

    // Through the wizard: a failure, not a missing file, because prog.exe outlives the 500 ms.
    messages_.clear();
    surroundings_.programFolder = folder.string();
    EXPECT_EQ(
        RunFlasher("508231.005", 2, 19200, 115200, 60000, res::ids::kUpdateFailed, surroundings_),
        FlasherResult::Failed);
    EXPECT_EQ(messages_.size(), 1u);

    // A port nobody answers on.
    setenv("REFLASHER_COM3", (root_ / "no-such-device").c_str(), 1);
    const pid_t pid3 = StartProg({(bin_ / "508231.005").string(), "3", "P", "9600", "9600"}, 2);
    ASSERT_GT(pid3, 0);
    ASSERT_EQ(waitpid(pid3, &status, 0), pid3);
    unsetenv("REFLASHER_COM3");
    EXPECT_EQ(ReadAll(temp_ / "status.err").substr(0, 7), "STATUS1");
}

TEST_F(ProgTest, AnInterruptedFlashLeavesOnlyTheBootloaderUntilARestore) {
    // Escape during the writing, typed into the flasher's console.
    setenv("REFLASHER_PROG_HOLD_AFTER", "3", 1);
    std::string console;
    EXPECT_EQ(UpdateWithEscapeAt("holding the write", 2, console), FlasherResult::Failed);
    EXPECT_NE(console.find("Stopped by the operator during the writing"), std::string::npos)
        << console;
    EXPECT_TRUE(receiver_.Device().bricked);
    // The wizard's identity request goes unanswered (any answer would come within milliseconds).
    EXPECT_EQ(Version(2s), "");

    // Ctrl+C (SIGINT) without a terminal to ask on, Ctrl+\ (SIGQUIT) likewise, and SIGTERM during
    // the writing of a restore: each stops it at once and leaves no firmware.
    for (int signal : {SIGINT, SIGQUIT, SIGTERM}) {
        SCOPED_TRACE(signal);
        fs::remove(temp_ / "status.err");
        OutputCapture output;
        const pid_t pid = StartProg({(bin_ / "508231.005").string(), "2", "P", "9600", "9600"},
                                    output.WriteEnd());
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(WaitFor([&] {
            return output.Text().find("holding the write") != std::string::npos;
        })) << output.Text();
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        output.Finish();
        EXPECT_TRUE(WIFEXITED(status)) << "prog.exe ends on its own terms, with its result written";
        EXPECT_EQ(ReadAll(temp_ / "status.err").substr(0, 7), "STATUS3") << output.Text();
        EXPECT_TRUE(receiver_.Device().bricked);
    }

    // The restore road at 9600 brings the receiver back.
    unsetenv("REFLASHER_PROG_HOLD_AFTER");
    messages_.clear();
    EXPECT_EQ(RunFlasher("508231.005", 2, 9600, 9600, kRestoreCompletionLimitMs,
                         res::ids::kRestoreFailed, surroundings_),
              FlasherResult::Succeeded)
        << (messages_.empty() ? "" : messages_[0]);
    EXPECT_EQ(Version(), "169-508231-005");
}

TEST_F(ProgTest, EscapeDuringTheEraseLeavesTheReceiverWithoutFirmware) {
    // A receiver whose erase takes a minute, so that the key surely falls into it.
    sim::ReceiverSim slow(Receiver(false), sim::MakeReceiverWithBootloader({.eraseMs = 60000}));
    setenv("REFLASHER_COM3", slow.SlavePath().c_str(), 1);
    std::string console;
    EXPECT_EQ(UpdateWithEscapeAt("Erasing...", 3, console), FlasherResult::Failed);
    unsetenv("REFLASHER_COM3");
    EXPECT_NE(console.find("Stopped by the operator during the erase"), std::string::npos)
        << console;
    EXPECT_TRUE(slow.Device().bricked);
    // The wizard's message carries the flasher's own last words.
    EXPECT_EQ(messages_,
              std::vector<std::string>{
                  res::LoadString(res::ids::kUpdateFailed) +
                  std::string("\r\n\r\nThe flasher reported: Stopped by the operator "
                              "during the erase; the receiver has no firmware now: cycle "
                              "its power and use Restore.")});
}

TEST_F(ProgTest, OnATerminalEscapeAsksFirstAndOnlyYStops) {
    // A slow erase, and a terminal for the operator's keys: the first Escape is answered n and the
    // erase goes on; the second is answered y and stops it.
    sim::ReceiverSim slow(Receiver(false), sim::MakeReceiverWithBootloader({.eraseMs = 60000}));
    setenv("REFLASHER_COM3", slow.SlavePath().c_str(), 1);
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    OutputCapture console;
    surroundings_.streams.input = terminal;
    surroundings_.streams.output = console.WriteEnd();
    surroundings_.streams.error = console.WriteEnd();
    const std::string question =
        "Stop now? The receiver will have no firmware until it is restored. y/N";
    auto shown = [&](const std::string& text, std::size_t times) {
        return WaitFor([&] {
            std::size_t count = 0;
            const std::string all = console.Text();
            for (std::size_t at = all.find(text); at != std::string::npos;
                 at = all.find(text, at + 1))
                ++count;
            return count >= times;
        });
    };
    std::thread operatorThread([&] {
        ASSERT_TRUE(shown("Erasing...", 1));
        EXPECT_EQ(write(master, "\x1b", 1), 1);
        ASSERT_TRUE(shown(question, 1));
        EXPECT_EQ(write(master, "n", 1), 1);
        ASSERT_TRUE(shown("Going on.", 1));
        EXPECT_EQ(write(master, "\x1b", 1), 1);
        ASSERT_TRUE(shown(question, 2));
        EXPECT_EQ(write(master, "y", 1), 1);
    });
    EXPECT_EQ(
        RunFlasher("508231.005", 3, 19200, 115200, 120000, res::ids::kUpdateFailed, surroundings_),
        FlasherResult::Failed);
    operatorThread.join();
    unsetenv("REFLASHER_COM3");
    close(master);
    close(terminal);
    console.Finish();
    const std::string text = console.Text();
    EXPECT_NE(text.find("Stopped by the operator during the erase"), std::string::npos) << text;
    EXPECT_TRUE(slow.Device().bricked);
}

TEST_F(ProgTest, ABrickedReceiverAnswersOnlyItsBootloaderAndIsRestoredAt9600) {
    sim::ReceiverSim bricked(Receiver(true), sim::MakeReceiverWithBootloader());
    setenv("REFLASHER_COM4", bricked.SlavePath().c_str(), 1);
    EXPECT_EQ(ReportedVersion(bricked.SlavePath(), 19200, 2s), "");
    EXPECT_EQ(ReportedVersion(bricked.SlavePath(), 9600, 2s), "");

    // The restore road: 9600 for both speeds.
    EXPECT_EQ(RunFlasher("508231.005", 4, 9600, 9600, kRestoreCompletionLimitMs,
                         res::ids::kRestoreFailed, surroundings_),
              FlasherResult::Succeeded)
        << (messages_.empty() ? "" : messages_[0]);
    unsetenv("REFLASHER_COM4");
    EXPECT_FALSE(bricked.Device().bricked);
    EXPECT_EQ(ReportedVersion(bricked.SlavePath(), 19200), "169-508231-005");
}
