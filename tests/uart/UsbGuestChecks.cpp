// The engine on a USB-serial adapter: runs inside the QEMU guest, on COM 3 (REFLASHER_COM3 =
// /dev/ttyUSB0, QEMU's FTDI adapter under Linux's ftdi_sio driver), and asks the host's peer over
// COM 2 (/dev/ttyS1) what the adapter saw, to send or take bytes at its far end, and to pull the
// adapter out and put it back.
//
// What neither a pseudo-terminal nor a UART shows: the line settings as the driver sends them to
// the adapter, DTR and RTS as control requests, and a device that goes away under an open port:
// poll says IN|ERR|HUP, reads end, writes fail with EIO and the node disappears. Prints one line
// per check ("ok <name>: <what was seen>" or "FAIL <name>: <why>"), then a count; exits 0 when
// every check passed.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "comm/CommInternal.h"
#include "comm/PortList.h"
#include "link/ReceiverLink.h"
#include "tests/uart/GuestPort.h"

using namespace guestport;

namespace {

constexpr std::int32_t kControl = 2;  // COM 2: /dev/ttyS1, the peer's requests
constexpr std::int32_t kAdapter = 3;  // COM 3: the adapter
constexpr char kNode[] = "/dev/ttyUSB0";

CommPortConfig Config(std::int32_t port, std::uint32_t baud, std::uint8_t dataBits = 8,
                      std::uint8_t parity = 0, std::uint8_t stopBits = 1) {
    CommPortConfig config{};
    config.port = port;
    config.baud = baud;
    config.dataBits = dataBits;
    config.parity = parity;
    config.stopBits = stopBits;
    config.spare[2] = 5000;
    config.spare[3] = 3000;
    config.spare[4] = 3000;
    return config;
}

// The peer, through the control line, open for the whole run.
Port control;

bool NodeThere() {
    struct stat node {};
    return stat(kNode, &node) == 0;
}

template <typename Condition>
bool WaitFor(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

long MsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// CPU time this process (every thread) takes in half a second: a thread that spins shows.
long CpuMsInHalfASecond() {
    auto cpuMs = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    };
    long before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return cpuMs() - before;
}

std::int32_t Slot(PortHandle handle, std::int32_t CommPort::*field) {
    for (CommPort& slot : CommPortTable) {
        if (slot.handle == handle) return std::atomic_ref(slot.*field).load();
    }
    return -1;
}
std::int32_t LastError(PortHandle handle) {
    for (CommPort& slot : CommPortTable) {
        if (slot.handle == handle) return std::atomic_ref(slot.config.lastError).load();
    }
    return -1;
}

// After the adapter was pulled out under an open port: the engine has noticed (EIO), no thread
// spins, CommClose ends the port without a notice (its threads ended within its waits), the node
// is gone and opening it gives the missing-device result; put back, the adapter comes back as
// ttyUSB0, because no descriptor of the old one is left open.
void AfterThePull(Port& port, bool writerMustEnd, Failures* failures, std::string* seen) {
    if (!WaitFor([&] { return LastError(port.Handle()) == EIO; }))
        failures->Add("the engine noted error " + std::to_string(LastError(port.Handle())) +
                      ", not EIO");
    if (writerMustEnd && !WaitFor([&] { return Slot(port.Handle(), &CommPort::writerDone) == 1; }))
        failures->Add("the writer did not end");
    if (!WaitFor([] { return !NodeThere(); })) failures->Add(std::string(kNode) + " stays");
    long cpu = CpuMsInHalfASecond();
    if (cpu > 50)
        failures->Add(std::to_string(cpu) + " ms of CPU in the half second after the pull");
    auto closing = std::chrono::steady_clock::now();
    failures->Add(port.Close());
    long closeMs = MsSince(closing);
    PortHandle again = 0;
    CommPortConfig config = Config(kAdapter, 19200);
    int result = CommOpen(&again, &config);
    std::string why = CommOpenFailure();
    if (result != COMM_ERR_OPEN_FAILED || why.find("No such file") == std::string::npos)
        failures->Add("opening the missing node gave " + std::to_string(result) + " (" + why + ")");
    if (result == 0) (void)CommClose(again);
    std::string answer = control.Ask("USB DONE");  // "DONE <bytes moved> unplugged"
    if (answer.find(" unplugged") == std::string::npos) failures->Add("the peer says " + answer);
    std::string plug = control.Ask("USB PLUG");
    if (plug != "PLUG ok" || !WaitFor(NodeThere))
        failures->Add("put back, " + std::string(kNode) + " did not come: " + plug);
    *seen += "EIO noted, " + std::to_string(cpu) + " ms CPU in the next half second, closed in " +
             std::to_string(closeMs) + " ms, " + answer + ", back as ttyUSB0";
}

// Each setting as the driver sends it to the adapter, from QEMU's trace (the FTDI's divisor
// makes 115200 into 115384): speed, character format, flow control, and DTR and RTS on.
std::string CheckLineSettings(std::string* seen) {
    struct Setting {
        std::uint32_t baud;
        std::uint8_t dataBits, parity, stopBits, cts, xonXoff;
        const char* trace;  // parity, data, stop bits, FLOW code
    };
    const Setting settings[] = {
        {19200, 8, 0, 1, 0, 0, "N 8 1 FLOW 0"},  {9600, 7, 3, 1, 0, 0, "E 7 1 FLOW 0"},
        {115200, 8, 2, 3, 0, 0, "O 8 2 FLOW 0"}, {2400, 8, 0, 1, 1, 0, "N 8 1 FLOW 1"},
        {57600, 7, 2, 1, 0, 1, "O 7 1 FLOW 4"},
    };
    Failures failures;
    for (const Setting& s : settings) {
        Port port;
        CommPortConfig config = Config(kAdapter, s.baud, s.dataBits, s.parity, s.stopBits);
        config.ctsHandshake = s.cts;
        config.xonXoff = s.xonXoff;
        std::string name = std::to_string(s.baud) + " " + s.trace + ": ";
        int result = port.Open(config);
        if (result != 0) {
            failures.Add(name + "CommOpen gave " + std::to_string(result));
            continue;
        }
        std::string trace = control.Ask("USB TRACE");
        long baud = 0;
        char rest[64] = {};
        int modem = 0;
        if (std::sscanf(trace.c_str(), "TRACE %ld %63[^M]MODEM %d", &baud, rest, &modem) != 3 ||
            std::labs(baud - static_cast<long>(s.baud)) * 1000 > static_cast<long>(s.baud) * 5 ||
            std::string(rest) != std::string(s.trace) + " " || (modem & 0x303) != 0x303) {
            failures.Add(name + "the adapter got " + Quoted(trace));
        }
        failures.Add(port.Close());
    }
    *seen = std::to_string(std::size(settings)) +
            " settings reached the adapter as asked, DTR and RTS on";
    return failures.Text();
}

// 20000 bytes each way, every byte value among them, and DTR and RTS as the driver drives them.
std::string CheckDataAndModemLines(std::string* seen) {
    constexpr std::size_t kCount = 20000;
    Port port;
    int result = port.Open(Config(kAdapter, 115200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    Failures failures;
    std::string sent = control.Ask("USB SEND " + std::to_string(kCount) + " 7");
    std::vector<std::uint8_t> got = port.Receive(kCount);
    if (sent != "SEND ok" || got != uartwire::Pattern(kCount, 7))
        failures.Add("host to guest: " + sent + ", " + std::to_string(got.size()) +
                     " bytes, intact: " + (got == uartwire::Pattern(kCount, 7) ? "yes" : "no"));
    std::vector<std::uint8_t> outgoing = uartwire::Pattern(kCount, 11);
    std::string answer;
    if (!control.Send("USB RECV " + std::to_string(kCount) + " 11\n") ||
        !port.Send(outgoing.data(), kCount) || !control.ReceiveLine(&answer) || answer != "RECV ok")
        failures.Add("guest to host: the peer says " + Quoted(answer));

    // DTR and RTS off and on again through a second descriptor (root passes TIOCEXCL).
    int side = open(kNode, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int lines = TIOCM_DTR | TIOCM_RTS;
    std::string off = side >= 0 && ioctl(side, TIOCMBIC, &lines) == 0 ? control.Ask("USB TRACE")
                                                                      : "(no side door)";
    std::string on = side >= 0 && ioctl(side, TIOCMBIS, &lines) == 0 ? control.Ask("USB TRACE")
                                                                     : "(no side door)";
    if (side >= 0) close(side);
    if (off.find("MODEM " + std::to_string(0x300)) == std::string::npos ||
        on.find("MODEM " + std::to_string(0x303)) == std::string::npos)
        failures.Add("DTR and RTS off gave " + Quoted(off) + ", on again " + Quoted(on));
    failures.Add(port.Close());
    *seen =
        std::to_string(kCount) + " bytes each way intact; DTR and RTS reach the adapter off and on";
    return failures.Text();
}

// Pulled out while the port idles.
std::string CheckUnplugIdle(std::string* seen) {
    Port port;
    int result = port.Open(Config(kAdapter, 19200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    Failures failures;
    std::string answer = control.Ask("USB UNPLUG");
    if (answer != "UNPLUG ok") failures.Add("the peer says " + Quoted(answer));
    AfterThePull(port, false, &failures, seen);
    return failures.Text();
}

// Pulled out while a reply collection waits on a trickle of bytes: the collection ends at its
// first empty cycle without a reply.
std::string CheckUnplugWhileCollecting(std::string* seen) {
    Port port;
    int result = port.Open(Config(kAdapter, 19200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    Failures failures;
    std::string answer = control.Ask("USB UNPLUG-AFTER 800 trickle");
    if (answer != "UNPLUG-AFTER ok") failures.Add("the peer says " + Quoted(answer));
    ReceiverLink link;
    link.port = port.Handle();
    std::uint8_t buffer[ReceiverLink::kCapacity];
    bool replied = link.CollectReplies(buffer);
    if (replied || link.stats.busyCycles < 1 || link.stats.hitCycleLimit)
        failures.Add("the collection ended with " + std::to_string(link.stats.busyCycles) +
                     " busy cycles" + (replied ? ", a reply" : "") +
                     (link.stats.hitCycleLimit ? ", at its bound" : ""));
    *seen = "the collection ended after " + std::to_string(link.stats.cycles) + " cycles; ";
    AfterThePull(port, false, &failures, seen);
    return failures.Text();
}

// Pulled out while the engine writes as fast as the adapter takes: the writer ends on EIO.
std::string CheckUnplugWhileWriting(std::string* seen) {
    Port port;
    int result = port.Open(Config(kAdapter, 115200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    Failures failures;
    std::string answer = control.Ask("USB UNPLUG-AFTER 800 sink");
    if (answer != "UNPLUG-AFTER ok") failures.Add("the peer says " + Quoted(answer));
    std::vector<std::uint8_t> bytes = uartwire::Pattern(1000, 5);
    std::uint64_t queued = 0;
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (Slot(port.Handle(), &CommPort::writerDone) != 1 &&
           std::chrono::steady_clock::now() < deadline) {
        int left = CommWrite(port.Handle(), bytes.data(), 1000);
        if (left >= 0) queued += static_cast<std::uint64_t>(1000 - left);
        if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    *seen = std::to_string(queued) + " bytes queued before the writer ended; ";
    AfterThePull(port, true, &failures, seen);
    return failures.Text();
}

// The port listing names the adapter with what its USB device says, and can open it.
std::string CheckPortListing(std::string* seen) {
    for (const SerialPortEntry& e : ListSerialPorts()) {
        if (e.device != kNode) continue;
        *seen = e.device + " COM" + std::to_string(e.com) + " USB " + e.usbId + " \"" +
                e.usbManufacturer + "\" \"" + e.usbProduct + "\" serial \"" + e.usbSerial + "\"" +
                (e.openable ? " openable" : " not openable");
        if (e.usbId != "0403:6001" || e.usbProduct.empty() || e.usbSerial.empty() || !e.openable ||
            e.com != kAdapter)
            return "listed as " + *seen;
        return "";
    }
    return std::string(kNode) + " is not listed";
}

struct Check {
    const char* name;
    std::string (*run)(std::string* seen);
};

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("REFLASHER_COM3", kNode, 1);
    CommSetNoticeHook(&RecordNotice);
    if (CommStartup() != 0 || control.Open(Config(kControl, 115200)) != 0) {
        std::printf("FAIL engine: no control line to the peer\n");
        return 1;
    }
    const Check checks[] = {
        {"usb-line-settings", &CheckLineSettings},
        {"usb-data-and-modem-lines", &CheckDataAndModemLines},
        {"usb-port-listing", &CheckPortListing},
        {"usb-unplug-idle", &CheckUnplugIdle},
        {"usb-unplug-while-collecting", &CheckUnplugWhileCollecting},
        {"usb-unplug-while-writing", &CheckUnplugWhileWriting},
    };
    int passed = 0;
    int failed = 0;
    for (const Check& check : checks) {
        std::string seen;
        std::string failure = check.run(&seen);
        std::string late = TakeNotices();
        if (!late.empty())
            failure += (failure.empty() ? "" : "; ") + std::string("notices: ") + late;
        if (failure.empty()) {
            ++passed;
            std::printf("ok %s: %s\n", check.name, seen.c_str());
        } else {
            ++failed;
            std::printf("FAIL %s: %s\n", check.name, failure.c_str());
        }
    }
    (void)control.Close();
    CommCleanup();
    std::printf("engine on the USB adapter: %d ok, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
