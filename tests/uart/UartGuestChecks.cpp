// The engine on a real tty driver: runs inside a QEMU guest, on COM 2 (/dev/ttyS1, a 16550A
// under Linux's 8250 driver) whose far end is the host's uart-peer (tests/uart/UartWire.h).
//
// What a pseudo-terminal cannot show: the UART programmed with each speed and character format,
// settings the UART cannot hold refused, modem lines, the CTS handshake on a line held low, and
// a break. Prints one line per check ("ok <name>: <what was seen>" or "FAIL <name>: <why>"), then
// a count; exits 0 when every check passed. The guest's /init runs it; the host shows the lines.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/CommInternal.h"
#include "comm/platform/LineDevice.h"
#include "tests/uart/GuestPort.h"
#include "tests/uart/UartWire.h"

using namespace guestport;

namespace {

constexpr std::int32_t kPort = 2;  // COM 2 is /dev/ttyS1 on POSIX
constexpr char kDevice[] = "/dev/ttyS1";

// How long a line held by the handshake is watched for bytes that must not come.
constexpr auto kHeldWatch = std::chrono::seconds(1);

// The loopback bit of the modem control lines (TIOCM_LOOP of linux/termios.h, which cannot be
// included beside glibc's headers).
constexpr int kModemLoop = 0x8000;

struct Format {
    const char* name;
    std::uint8_t dataBits;
    std::uint8_t parity;    // the engine's parity code
    std::uint8_t stopBits;  // the engine's stop-bits code
    char uartParity;        // as the UART's line control register says: N, O or E
    int uartStopBits;
};

constexpr Format kFormats[] = {
    {"8N1", 8, 0, 1, 'N', 1},
    {"7E1", 7, 3, 1, 'E', 1},
    {"7O1", 7, 2, 1, 'O', 1},
    {"8N2", 8, 0, 3, 'N', 2},
};

// Mark and space parity set the UART's stick-parity bit, which QEMU's trace does not show; its
// even-parity bit then gives the parity bit's value: clear for mark (1), set for space (0).
constexpr Format kStickFormats[] = {
    {"8M1", 8, 4, 1, 'O', 1},
    {"8S1", 8, 5, 1, 'E', 1},
};

// The engine's listed speeds that a 16550 with its 1.8432 MHz clock can do (115200 / divisor),
// and those above its 115200 bit/s.
constexpr std::uint32_t kUartSpeeds[] = {300,   600,   1200,  2400,  4800,  9600,
                                         14400, 19200, 38400, 57600, 115200};
constexpr std::uint32_t kBeyondUart[] = {128000, 256000};

CommPortConfig LineConfig(std::uint32_t baud, const Format& format = kFormats[0]) {
    CommPortConfig config{};
    config.port = kPort;
    config.baud = baud;
    config.dataBits = format.dataBits;
    config.parity = format.parity;
    config.stopBits = format.stopBits;
    config.spare[2] = 5000;
    config.spare[3] = 3000;
    config.spare[4] = 3000;
    return config;
}

std::string TraceOf(std::uint32_t baud, char parity, int dataBits, int stopBits) {
    return "TRACE " + std::to_string(baud) + " " + parity + " " + std::to_string(dataBits) + " " +
           std::to_string(stopBits);
}

// A second descriptor on the guest's UART, for what the engine does not offer: setting the modem
// control lines and reading the driver's counters. Opened after the engine's port (root passes
// its TIOCEXCL) and closed before it, so the engine's open and close stay the tty's first and last.
class SideDoor {
  public:
    SideDoor() : fd_(open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~SideDoor() {
        if (fd_ >= 0) close(fd_);
    }
    SideDoor(const SideDoor&) = delete;
    SideDoor& operator=(const SideDoor&) = delete;

    bool Ok() const { return fd_ >= 0; }
    bool ModemLines(int* lines) const { return ioctl(fd_, TIOCMGET, lines) == 0; }
    bool SetModemLines(int lines) const { return ioctl(fd_, TIOCMSET, &lines) == 0; }
    bool Counters(serial_icounter_struct* counters) const {
        return ioctl(fd_, TIOCGICOUNT, counters) == 0;
    }

  private:
    int fd_;
};

// Opens the port with `format`, asks the peer how the UART is programmed, and closes again.
void OpenAndTrace(std::uint32_t baud, const Format& format, Failures* failures) {
    std::string name = std::to_string(baud) + " " + format.name + ": ";
    Port port;
    int result = port.Open(LineConfig(baud, format));
    if (result != 0) {
        failures->Add(name + "CommOpen gave " + std::to_string(result));
        return;
    }
    std::string trace = port.Ask("TRACE");
    if (trace != TraceOf(baud, format.uartParity, format.dataBits, format.uartStopBits))
        failures->Add(name + "the UART holds " + Quoted(trace));
    std::string trouble = port.Close();
    if (!trouble.empty()) failures->Add(name + trouble);
}

// Each listed speed with each character format: the engine opens the port, the UART is
// programmed exactly so (from QEMU's trace of its registers), and a request and its answer pass
// at that setting. Every setting differs from the one before, so a stale trace cannot pass.
std::string CheckLineSettings(std::string* seen) {
    Failures failures;
    for (std::uint32_t baud : kUartSpeeds) {
        for (const Format& format : kFormats) OpenAndTrace(baud, format, &failures);
    }
    *seen = std::to_string(std::size(kUartSpeeds) * std::size(kFormats)) +
            " settings programmed as asked";
    return failures.Text();
}

// The 8250 keeps mark and space parity, so the engine's read-back takes them.
std::string CheckMarkAndSpaceParity(std::string* seen) {
    Failures failures;
    for (const Format& format : kStickFormats) OpenAndTrace(9600, format, &failures);
    *seen = "8M1 and 8S1 programmed with parity";
    return failures.Text();
}

// A listed speed above what the UART can do: the driver takes another speed instead, and the
// engine refuses the port with -11 rather than run at a speed nobody asked for. The port is free
// again and opens at once at a speed the UART can do.
std::string CheckSpeedBeyondTheUart(std::string* seen) {
    Failures failures;
    for (std::uint32_t baud : kBeyondUart) {
        std::string name = std::to_string(baud) + ": ";
        PortHandle handle = 12345;
        CommPortConfig config = LineConfig(baud);
        int result = CommOpen(&handle, &config);
        if (result != COMM_ERR_SETUP_FAILED || handle != 0) {
            failures.Add(name + "CommOpen gave " + std::to_string(result) + " with handle " +
                         std::to_string(handle));
            if (result == 0) (void)CommClose(handle);
        }
        std::string trouble = TakeNotices();
        if (!trouble.empty()) failures.Add(name + trouble);
    }
    OpenAndTrace(9600, kFormats[0], &failures);
    *seen = "128000 and 256000 refused with -11, then 9600 opened";
    return failures.Text();
}

// 20000 bytes each way at 115200 bit/s, every byte value among them: nothing lost, added,
// reordered or translated by the driver, through the 4096-byte rings several times over.
std::string CheckDataBothWays(std::string* seen) {
    constexpr std::size_t kCount = 20000;
    Port port;
    int result = port.Open(LineConfig(115200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    Failures failures;

    if (!port.Send("SEND " + std::to_string(kCount) + " 7\n")) return "SEND was not sent";
    std::vector<std::uint8_t> expected = uartwire::Pattern(kCount, 7);
    std::vector<std::uint8_t> got = port.Receive(kCount);
    if (got.size() != kCount) {
        failures.Add("host to guest: " + std::to_string(got.size()) + " of " +
                     std::to_string(kCount) + " bytes came");
    } else if (got != expected) {
        auto differ = std::mismatch(got.begin(), got.end(), expected.begin());
        failures.Add("host to guest: byte " + std::to_string(differ.first - got.begin()) +
                     " differs");
    }

    std::vector<std::uint8_t> outgoing = uartwire::Pattern(kCount, 11);
    if (!port.Send("RECV " + std::to_string(kCount) + " 11\n") ||
        !port.Send(outgoing.data(), outgoing.size())) {
        failures.Add("guest to host: not all bytes were queued");
        return failures.Text();
    }
    std::string answer;
    if (!port.ReceiveLine(&answer) || answer != "RECV ok")
        failures.Add("guest to host: the peer says " + Quoted(answer));
    failures.Add(port.Close());
    *seen = std::to_string(kCount) + " bytes each way intact";
    return failures.Text();
}

// Modem lines through the engine's line device (QEMU's socket reports CTS, DSR and DCD on), and
// the CTS handshake on such a line: the writer reads them for each byte, and requests pass.
std::string CheckModemLines(std::string* seen) {
    Failures failures;
    {
        alignas(std::max_align_t) unsigned char storage[comm::platform::kLineDeviceStorageSize];
        comm::platform::LineDevice* device = comm::platform::OpenPlatformLineDevice(kPort, storage);
        if (device == nullptr) return "the line device did not open";
        std::uint32_t status = 0;
        bool read = device->GetModemStatus(&status);
        device->Release();
        constexpr std::uint32_t kOn =
            comm::platform::kMsCtsOn | comm::platform::kMsDsrOn | comm::platform::kMsRlsdOn;
        if (!read) {
            failures.Add("the modem lines could not be read");
        } else if ((status & kOn) != kOn) {
            failures.Add("modem status " + std::to_string(status) + " lacks CTS, DSR or DCD");
        }
    }
    CommPortConfig config = LineConfig(19200);
    config.ctsHandshake = 1;
    Port port;
    int result = port.Open(config);
    if (result != 0) {
        failures.Add("CommOpen with the CTS handshake gave " + std::to_string(result));
        return failures.Text();
    }
    std::string trace = port.Ask("TRACE");
    if (trace != TraceOf(19200, 'N', 8, 1))
        failures.Add("with the CTS handshake the peer answered " + Quoted(trace));
    failures.Add(port.Close());
    *seen = "CTS, DSR and DCD on; requests pass with the CTS handshake";
    return failures.Text();
}

// The UART looped back on itself (what it sends comes back, RTS drives CTS, DTR drives DSR) with
// the CTS handshake on. With RTS on bytes come back; with RTS off the engine holds them back;
// once RTS is on again they come; and CommClose of a port holding bytes back is prompt: the
// engine raises no notice (it would after waiting 1 s for a thread).
std::string CheckHandshakeOnALineHeldLow(std::string* seen) {
    CommPortConfig config = LineConfig(115200);
    config.ctsHandshake = 1;
    Port port;
    int result = port.Open(config);
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    SideDoor side;
    int lines = 0;
    if (!side.Ok() || !side.ModemLines(&lines)) return "the modem lines cannot be read";
    const int outputs = lines & ~(TIOCM_RTS | TIOCM_DTR);  // OUT1 and OUT2 stay as they are
    const int ready = outputs | kModemLoop | TIOCM_RTS | TIOCM_DTR;
    const int held = outputs | kModemLoop | TIOCM_DTR;
    Failures failures;

    auto comesBack = [&](const std::string& bytes, const char* when) {
        std::vector<std::uint8_t> back = port.Receive(bytes.size());
        std::string text(back.begin(), back.end());
        if (text != bytes)
            failures.Add(std::string(when) + ": sent " + Quoted(bytes) + ", back came " +
                         Quoted(text));
    };
    auto ctsIs = [&](bool on) {
        int now = 0;
        return side.ModemLines(&now) && ((now & TIOCM_CTS) != 0) == on;
    };
    auto holdsBack = [&](const std::string& bytes, const char* when) {
        if (!port.Send(bytes)) failures.Add(std::string(when) + ": not queued");
        std::this_thread::sleep_for(kHeldWatch);
        int early = CommBytesAvailable(port.Handle());
        if (early != 0)
            failures.Add(std::string(when) + ": " + std::to_string(early) + " bytes came back");
    };

    if (!side.SetModemLines(ready) || !ctsIs(true)) {
        (void)side.SetModemLines(lines);
        return "no loopback with CTS on";
    }
    if (!port.Send("ready")) failures.Add("ready: not queued");
    comesBack("ready", "with CTS on");

    if (!side.SetModemLines(held) || !ctsIs(false)) {
        (void)side.SetModemLines(lines);
        failures.Add("CTS does not follow RTS in loopback");
        return failures.Text();
    }
    holdsBack("held", "with CTS off");
    (void)side.SetModemLines(ready);
    comesBack("held", "once CTS was back");

    (void)side.SetModemLines(held);
    holdsBack("never", "held again");
    auto closing = std::chrono::steady_clock::now();
    std::string trouble = port.Close();
    auto closeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - closing)
                       .count();
    (void)side.SetModemLines(lines);
    if (!trouble.empty()) failures.Add("closing while held: " + trouble);
    *seen = "held with CTS off, sent once CTS was back, closed while holding (" +
            std::to_string(closeMs) + " ms)";
    return failures.Text();
}

// A break from the host: it reaches the driver (its break counter goes up), the reader passes on
// at most one NUL in its place (what a raw POSIX line makes of it; a driver may drop it), and the
// bytes after it arrive intact.
std::string CheckBreakFromTheHost(std::string* seen) {
    Port port;
    int result = port.Open(LineConfig(115200));
    if (result != 0) return "CommOpen gave " + std::to_string(result);
    SideDoor side;
    serial_icounter_struct before{};
    if (!side.Ok() || !side.Counters(&before)) return "the driver's counters cannot be read";
    Failures failures;

    std::string answer = port.Ask("BREAK");
    std::size_t nuls = 0;
    while (nuls < answer.size() && answer[nuls] == '\0') ++nuls;
    if (answer.substr(nuls) != "BREAK ok" || nuls > 1)
        failures.Add("after the break came " + Quoted(answer));

    constexpr std::size_t kCount = 5000;
    if (!port.Send("SEND " + std::to_string(kCount) + " 3\n")) failures.Add("SEND was not sent");
    std::vector<std::uint8_t> got = port.Receive(kCount);
    if (got != uartwire::Pattern(kCount, 3)) {
        failures.Add("the bytes after the break are not intact (" + std::to_string(got.size()) +
                     " came)");
    }

    serial_icounter_struct after{};
    if (!side.Counters(&after)) {
        failures.Add("the driver's counters cannot be read again");
    } else if (after.brk != before.brk + 1) {
        failures.Add("the driver counted " + std::to_string(after.brk - before.brk) + " breaks");
    }
    for (CommPort& slot : CommPortTable) {
        if (slot.handle != port.Handle()) continue;
        std::int32_t lastError = std::atomic_ref(slot.config.lastError).load();
        if (lastError != 0) failures.Add("the reader met error " + std::to_string(lastError));
    }
    failures.Add(port.Close());
    *seen = "1 break counted, " + std::to_string(nuls) + " NUL in its place, " +
            std::to_string(kCount) + " bytes after it intact";
    return failures.Text();
}

struct Check {
    const char* name;
    std::string (*run)(std::string* seen);
};

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CommSetNoticeHook(&RecordNotice);
    if (CommStartup() != 0) {
        std::printf("FAIL engine: CommStartup\n");
        return 1;
    }
    const Check checks[] = {
        {"line-settings", &CheckLineSettings},
        {"mark-and-space-parity", &CheckMarkAndSpaceParity},
        {"speed-beyond-the-uart", &CheckSpeedBeyondTheUart},
        {"data-both-ways", &CheckDataBothWays},
        {"modem-lines", &CheckModemLines},
        {"cts-handshake-held-low", &CheckHandshakeOnALineHeldLow},
        {"break-from-the-host", &CheckBreakFromTheHost},
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
    CommCleanup();
    std::printf("engine on the UART: %d ok, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
