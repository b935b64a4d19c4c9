// reflasher --list-ports as a child process: pseudo-terminals mapped through REFLASHER_COM<n>
// (one held by another program, one this user may not open), and a folder of fake
// /dev/serial/by-id links given as the device root.
#include <grp.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "tests/unattended/Child.h"

namespace {

namespace fs = std::filesystem;
using bench_test::Child;
using nlohmann::json;

// A pseudo-terminal pair held open for the test.
struct Pty {
    Pty() {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    int master = -1, slave = -1;
    std::string path;
};

class PortList : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/reflasher-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_FALSE(free_.path.empty());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    // The listing as JSON lines, by device. `program`: another copy of reflasher than the build's.
    std::map<std::string, json> list(const std::vector<std::string>& extra,
                                     const std::vector<std::string>& env,
                                     std::function<void()> inChild = {},
                                     std::string program = bench_test::Reflasher()) {
        std::vector<std::string> args = {program, "--list-ports", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        Child child(args, env, std::move(inChild));
        EXPECT_EQ(child.exitCode(), 0) << child.output();
        std::map<std::string, json> byDevice;
        for (const json& e : child.events()) byDevice[e["device"]] = e;
        return byDevice;
    }

    std::string root;
    Pty free_, busy_, closed_;
};

TEST_F(PortList, PtysMappedThroughComVariablesWithWhyTheyCannotBeOpened) {
    // Another program holds busy_ the way the engine holds a port.
    const int holder = open(busy_.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    // closed_ may not be opened by the listing's user: a pty owned by root with no access for
    // others when the test runs as root (the listing then runs as nobody), a file without
    // permissions otherwise.
    std::string forbidden = closed_.path;
    std::function<void()> asOtherUser;
    std::string program = bench_test::Reflasher();
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(closed_.path.c_str(), 0600), 0);
        ASSERT_EQ(chmod(free_.path.c_str(), 0666), 0);
        ASSERT_EQ(chmod(busy_.path.c_str(), 0666), 0);  // held, not forbidden
        ASSERT_EQ(chmod(root.c_str(), 0755), 0);        // so that a missing file is just missing
        // nobody may not reach the build tree (a clone in root's home is 0700): a copy of its own.
        program = root + "/reflasher";
        fs::copy_file(bench_test::Reflasher(), program);
        fs::permissions(program, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
        asOtherUser = [] {
            const gid_t groups[] = {65534};
            if (setgroups(1, groups) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
        };
    } else {
        forbidden = root + "/no-access";
        std::ofstream(forbidden).put('x');
        ASSERT_EQ(chmod(forbidden.c_str(), 0), 0);
    }
    const std::string missing = root + "/gone";
    const auto listed =
        list({},
             {"REFLASHER_COM2=" + free_.path, "REFLASHER_COM3=" + busy_.path,
              "REFLASHER_COM4=" + forbidden, "REFLASHER_COM7=" + missing, "REFLASHER_COM1="},
             asOtherUser, program);
    close(holder);

    ASSERT_TRUE(listed.count(free_.path));
    EXPECT_EQ(listed.at(free_.path)["com"], 2);
    EXPECT_EQ(listed.at(free_.path)["com_source"], "REFLASHER_COM2");
    EXPECT_EQ(listed.at(free_.path)["openable"], true);
    ASSERT_TRUE(listed.count(busy_.path));
    EXPECT_EQ(listed.at(busy_.path)["com"], 3);
    EXPECT_EQ(listed.at(busy_.path)["openable"], false);
    EXPECT_EQ(listed.at(busy_.path)["why"], "in use by another program");
    ASSERT_TRUE(listed.count(forbidden));
    EXPECT_EQ(listed.at(forbidden)["com"], 4);
    EXPECT_EQ(listed.at(forbidden)["openable"], false);
    EXPECT_EQ(listed.at(forbidden)["why"].get<std::string>().rfind(
                  "Permission denied; add this user to the group", 0),
              0u)
        << listed.at(forbidden);
    EXPECT_NE(listed.at(forbidden)["why"].get<std::string>().find("dialout"), std::string::npos);
    ASSERT_TRUE(listed.count(missing));
    EXPECT_EQ(listed.at(missing)["com"], 7);
    EXPECT_EQ(listed.at(missing)["why"], "No such file or directory");
}

TEST_F(PortList, FakeDevRootWithByIdLinksAndThePlainListing) {
    // ttyUSB0 and ttyACM1 stand for two ptys; by-id names lead to them as udev's links do.
    fs::create_directories(root + "/serial/by-id");
    fs::create_symlink(free_.path, root + "/ttyUSB0");
    fs::create_symlink(busy_.path, root + "/ttyACM1");
    fs::create_symlink("../../ttyUSB0",
                       root + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3-if00-port0");
    fs::create_symlink("../../ttyACM1", root + "/serial/by-id/usb-Vandrel_Receiver_0042-if00");
    // A name that would steer a terminal, for a device that is no serial port.
    fs::create_symlink("/dev/null", root + "/ttyUSB2");
    fs::create_symlink("../../ttyUSB2", root + "/serial/by-id/usb-X\x1b[2J\nfake-if00");
    std::ofstream(root + "/ttyUSBx");       // not a device name of the family
    fs::create_directory(root + "/ttyS0");  // not a device: no UART of the kernel's

    const auto listed =
        list({"--dev-root", root}, {"REFLASHER_COM2=" + busy_.path, "REFLASHER_COM1="});
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed.at(root + "/ttyUSB2")["why"], "not a serial port (not a terminal device)");
    const json usb = listed.at(root + "/ttyUSB0");
    EXPECT_EQ(usb["target"], free_.path);
    EXPECT_EQ(usb["aliases"],
              json::array({root + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3-if00-port0"}));
    EXPECT_TRUE(usb["com"].is_null());
    EXPECT_EQ(usb["openable"], true);
    const json acm = listed.at(root + "/ttyACM1");
    EXPECT_EQ(acm["aliases"], json::array({root + "/serial/by-id/usb-Vandrel_Receiver_0042-if00"}));
    EXPECT_EQ(acm["com"], 2);  // the same device as COM 2's mapping: one entry

    // The plain listing says the same for a person.
    Child plain({bench_test::Reflasher(), "--list-ports", "--dev-root", root},
                {"REFLASHER_COM2=" + busy_.path, "REFLASHER_COM1="});
    EXPECT_EQ(plain.exitCode(), 0);
    EXPECT_EQ(plain.output(),
              root + "/ttyUSB0 -> " + free_.path + "  no COM port  can be opened\n    " + root +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3-if00-port0\n" + root +
                  "/ttyUSB2 -> /dev/null  no COM port  cannot be opened: not a serial port (not a "
                  "terminal device)\n    " +
                  root + "/serial/by-id/usb-X^[[2J^Jfake-if00\n" + root + "/ttyACM1 -> " +
                  busy_.path + "  COM2 (REFLASHER_COM2)  can be opened\n    " + root +
                  "/serial/by-id/usb-Vandrel_Receiver_0042-if00\n");
}

}  // namespace
