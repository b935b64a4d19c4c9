// The simulated receiver, talked to directly through its pseudo-terminal slave (no engine).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "tests/link/LinkTestUtil.h"
#include "tools/receiver-sim/ReceiverProtocol.h"
#include "tools/receiver-sim/ReceiverSim.h"

extern char** environ;

namespace {

using linktest::Bytes;
using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(10);

// The wizard's end of the line, opened raw on the slave at a given speed.
class Line {
  public:
    Line(const std::string& path, unsigned baud) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd_, 0) << path << ": " << std::strerror(errno);
        SetSpeed(baud);
    }
    ~Line() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void SetSpeed(unsigned baud) {
        termios settings{};
        ASSERT_EQ(tcgetattr(fd_, &settings), 0);
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        ASSERT_EQ(cfsetspeed(&settings, baud == 9600 ? B9600 : B19200), 0);
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &settings), 0);
    }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `enough` holds for what was read, the other side hangs up, or the deadline.
    template <typename Enough>
    Bytes ReadUntil(Enough enough) {
        const auto deadline = Clock::now() + kPatience;
        while (!enough(held_) && Clock::now() < deadline) {
            pollfd fd{fd_, POLLIN, 0};
            poll(&fd, 1, 20);
            std::uint8_t bytes[512];
            const ssize_t got = read(fd_, bytes, sizeof bytes);
            if (got > 0) {
                held_.insert(held_.end(), bytes, bytes + got);
            } else if (got == 0 || (got < 0 && errno == EIO)) {
                break;
            }
        }
        return held_;
    }
    // Waits for the next valid packet; returns it and drops what came before it (kept in
    // `skipped`).
    Bytes NextPacket(Bytes* skipped = nullptr) {
        Bytes packet;
        ReadUntil([&](const Bytes& held) {
            std::uint32_t offset = 0;
            auto length = static_cast<std::uint32_t>(held.size());
            if (held.size() >= 4 && FindPacket(held.data(), offset, length) == 0) {
                if (skipped != nullptr) {
                    skipped->assign(held.begin(), held.begin() + offset);
                }
                packet.assign(held.begin() + offset, held.begin() + offset + length);
                held_.erase(held_.begin(), held_.begin() + offset + length);
                return true;
            }
            return false;
        });
        return packet;
    }

  private:
    int fd_ = -1;
    Bytes held_;
};

Bytes Request(std::uint8_t command) {
    std::uint8_t buffer[16];
    std::uint8_t* data = BuildRequestHeader(buffer, command,
                                            command == '?'   ? 8
                                            : command == 'F' ? 1
                                                             : 0);
    if (command == '?') {
        PutHandshakeId(data);
    } else if (command == 'F') {
        data[0] = 3;
    }
    const std::uint16_t length = AppendChecksum(buffer, buffer[3]);
    return Bytes(buffer, buffer + length);
}

void Decode(ReceiverLink& link, const Bytes& packet) {
    ASSERT_GE(packet.size(), 6u);
    link.DispatchReply(packet.data(), static_cast<std::uint32_t>(packet.size()));
}

TEST(Sim, AnswersAtItsOwnSpeedPacedAtTheLineSpeed) {
    for (const unsigned baud : {19200u, 9600u}) {
        SCOPED_TRACE(baud);
        sim::DeviceState device;
        device.ownBaud = baud;
        device.serialPrefix = "GRY";
        device.serialValue = 0x0000BEEF;
        device.firmwareVersion = "169-508231-003";
        device.externalPower = true;
        device.batteryLevel = 3100;
        device.pacedInput = true;
        sim::ReceiverSim receiver(device);
        Line line(receiver.SlavePath(), baud);
        ReceiverLink link;

        line.Send(Request('?'));
        Bytes packet = line.NextPacket();
        ASSERT_FALSE(packet.empty());
        EXPECT_EQ(packet[1], '?');

        // The identity reply is 87 bytes: at 10 bits a byte it cannot arrive in less than
        // 870 bit times, however the two threads are scheduled.
        const auto sent = Clock::now();
        line.Send(Request('-'));
        packet = line.NextPacket();
        const auto took = Clock::now() - sent;
        ASSERT_EQ(packet.size(), 87u);
        EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(took).count(),
                  870LL * 1'000'000 / baud);
        Decode(link, packet);
        EXPECT_STREQ(link.identity.serialNumber, "GRY0000BEEF");
        EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-003");

        line.Send(Request('F'));
        packet = line.NextPacket();
        Decode(link, packet);
        EXPECT_EQ(link.power.externalPower, 1);
        EXPECT_EQ(link.power.batteryLevel, 3100);
        EXPECT_EQ(receiver.Count().baud, baud);

        // Paced input: 480 bytes written at once are taken no faster than the line carries them.
        const std::uint64_t before = receiver.Count().received;
        const auto written = Clock::now();
        line.Send(Bytes(480, 0x00));
        ASSERT_TRUE(
            receiver.WaitFor(kPatience, [&](const auto& c) { return c.received == before + 480; }));
        const auto taken =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - written).count();
        EXPECT_GE(taken, 479LL * 10'000'000 / baud);
    }
}

TEST(Sim, UnderstandsNothingAtAnotherSpeed) {
    sim::DeviceState device;
    device.ownBaud = 9600;
    sim::ReceiverSim receiver(device);
    Line line(receiver.SlavePath(), 19200);

    // At 19200 the handshake draws only noise.
    line.Send(Request('?'));
    ASSERT_TRUE(receiver.WaitFor(kPatience,
                                 [](const sim::ReceiverSim::Counters& c) { return c.sent >= 14; }));
    const Bytes noise = line.ReadUntil([](const Bytes& held) { return held.size() >= 14; });
    std::uint32_t offset = 0;
    auto length = static_cast<std::uint32_t>(noise.size());
    EXPECT_NE(FindPacket(noise.data(), offset, length), 0);

    // At 9600 the same request is answered, and the first valid packet is that answer: the
    // identity reply that follows shows no second handshake reply was queued.
    line.SetSpeed(9600);
    line.Send(Request('?'));
    Bytes packet = line.NextPacket();
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(packet[1], '?');
    line.Send(Request('-'));
    packet = line.NextPacket();
    ASSERT_FALSE(packet.empty());
    EXPECT_EQ(packet[1], '-');
    EXPECT_EQ(receiver.Count().baud, 9600u);
}

// The program: makes the link, answers through it, removes it on SIGINT and exits cleanly, even
// when started with SIGINT ignored (as a shell starts a background job).
TEST(Sim, ProgramServesThroughItsLinkUntilTerminated) {
    char folder[] = "/tmp/receiver-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string linkPath = std::string(folder) + "/COM2";

    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string program = RECEIVER_SIM_PATH;
    std::vector<std::string> args = {program,      "--link",          linkPath, "--baud",
                                     "9600",       "--serial-prefix", "ABC",    "--serial-value",
                                     "0x00C0FFEE", "--battery",       "-5",     "--external",
                                     "1"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    sigaction(SIGINT, &previous, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    close(out[1]);

    // The program prints the path once the link exists.
    std::string printed;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        printed += c;
    }
    close(out[0]);
    EXPECT_EQ(printed, linkPath);
    struct stat info {};
    ASSERT_EQ(lstat(linkPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    {
        Line line(linkPath, 9600);
        ReceiverLink link;
        line.Send(Request('-'));
        Decode(link, line.NextPacket());
        EXPECT_STREQ(link.identity.serialNumber, "ABC00C0FFEE");
        EXPECT_STREQ(link.identity.firmwareVersion, "169-508231-004");
        line.Send(Request('F'));
        Decode(link, line.NextPacket());
        EXPECT_EQ(link.power.batteryLevel, -5);
        EXPECT_EQ(link.power.externalPower, 1);
    }

    ASSERT_EQ(kill(child, SIGINT), 0);
    int status = 0;
    const auto deadline = Clock::now() + kPatience;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended != child) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        unlink(linkPath.c_str());
        rmdir(folder);
        FAIL() << "receiver-sim did not end on SIGINT";
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(lstat(linkPath.c_str(), &info), 0) << "the link outlives the program";
    rmdir(folder);
}

}  // namespace
