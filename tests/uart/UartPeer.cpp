// The host's end of the QEMU guest's second UART: answers the guest's requests
// (tests/uart/UartWire.h) until the guest hangs up. QEMU listens on two local sockets, the UART's
// and its QMP monitor's, and writes its trace of the UART's line settings to a file. With a
// USB_SOCKET it is also the far end of the guest's USB-serial adapter (the "USB" requests).
//
// Usage: uart-peer SERIAL_SOCKET QMP_SOCKET TRACE_FILE PATIENCE_SECONDS [USB_SOCKET]
// Exits 0 when the guest hung up and every request was understood and answered in time.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/uart/UartWire.h"
#include "tools/bootloader/SimBootloader.h"

namespace {

using Clock = std::chrono::steady_clock;

int ConnectUnix(const char* path, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return -1;
    std::strcpy(address.sun_path, path);
    // QEMU may not be listening yet.
    while (Clock::now() < deadline) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

enum class Got { kData, kClosed, kLate };

// A socket read with one deadline for everything the peer does.
class Connection {
  public:
    Connection(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Got ReadLine(std::string* line) {
        for (;;) {
            std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                if (!line->empty() && line->back() == '\r') line->pop_back();
                return Got::kData;
            }
            Got got = Fill();
            if (got != Got::kData) return got;
        }
    }

    Got ReadExactly(std::size_t count, std::vector<std::uint8_t>* bytes) {
        while (buffer_.size() < count) {
            Got got = Fill();
            if (got != Got::kData) {
                bytes->assign(buffer_.begin(), buffer_.end());
                buffer_.clear();
                return got;
            }
        }
        bytes->assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
        buffer_.erase(0, count);
        return Got::kData;
    }

    bool Write(const void* bytes, std::size_t count) {
        const auto* next = static_cast<const char*>(bytes);
        while (count > 0) {
            pollfd fd{fd_, POLLOUT, 0};
            if (poll(&fd, 1, MsLeft()) <= 0) return false;
            ssize_t n = send(fd_, next, count, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            next += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Write(const std::string& text) { return Write(text.data(), text.size()); }

  private:
    int MsLeft() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

    Got Fill() {
        for (;;) {
            pollfd fd{fd_, POLLIN, 0};
            int ready = poll(&fd, 1, MsLeft());
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return Got::kLate;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return Got::kClosed;
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return Got::kData;
        }
    }

    int fd_;
    Clock::time_point deadline_;
    std::string buffer_;
};

// The last line setting in QEMU's trace log ("serial_update_parameters baudrate=19200
// parity='E' data=7 stop=1"), as the answer to TRACE. QEMU writes each trace line out as the
// guest programs the UART, so everything the guest did before asking is in the file.
std::string LastLineSetting(const char* tracePath) {
    std::ifstream trace(tracePath);
    std::string line;
    std::string answer = "TRACE none";
    while (std::getline(trace, line)) {
        std::size_t at = line.find("serial_update_parameters ");
        if (at == std::string::npos) continue;
        unsigned long long baud = 0;
        char parity = '?';
        int data = 0;
        int stop = 0;
        if (std::sscanf(line.c_str() + at,
                        "serial_update_parameters baudrate=%llu parity='%c' data=%d stop=%d", &baud,
                        &parity, &data, &stop) != 4) {
            answer = "TRACE unreadable";
            continue;
        }
        answer = "TRACE " + std::to_string(baud) + " " + parity + " " + std::to_string(data) + " " +
                 std::to_string(stop);
    }
    return answer;
}

// Reads QMP replies until the command's own ("return" or "error"); events are passed over, and
// counted in `deleted` when they report a device gone.
bool QmpReply(Connection& qmp, std::string* reply, int* deleted = nullptr) {
    for (;;) {
        if (qmp.ReadLine(reply) != Got::kData) return false;
        if (deleted != nullptr && reply->find("\"DEVICE_DELETED\"") != std::string::npos)
            ++*deleted;
        if (reply->find("\"return\"") != std::string::npos) return true;
        if (reply->find("\"error\"") != std::string::npos) return false;
    }
}

// What QEMU's usb-serial traces say the guest's FTDI driver last asked of the adapter.
struct AdapterTrace {
    long baud = 0;
    char parity = '?';
    int data = 0;
    int stop = 0;
    int flow = -1;   // 0 none, 1 RTS/CTS, 2 DTR/DSR, 4 XON/XOFF
    int modem = -1;  // the last modem-control request's value: DTR bit 0, RTS bit 1, masks 8 and 9
    std::string Text() const {
        return "TRACE " + std::to_string(baud) + " " + parity + " " + std::to_string(data) + " " +
               std::to_string(stop) + " FLOW " + std::to_string(flow) + " MODEM " +
               std::to_string(modem);
    }
};

AdapterTrace ReadAdapterTrace(const char* tracePath) {
    std::ifstream trace(tracePath);
    std::string line;
    AdapterTrace seen;
    while (std::getline(trace, line)) {
        std::size_t at = line.find("usb_serial_");
        if (at == std::string::npos) continue;
        const char* text = line.c_str() + at;
        unsigned bus = 0, address = 0, request = 0, value = 0;
        char parity = 0;
        int data = 0, stop = 0, flow = 0;
        long baud = 0;
        if (std::sscanf(text, "usb_serial_set_baud dev %u:%u baud rate %ld", &bus, &address,
                        &baud) == 3) {
            seen.baud = baud;
        } else if (std::sscanf(
                       text, "usb_serial_set_data dev %u:%u parity %c, data bits %d, stop bits %d",
                       &bus, &address, &parity, &data, &stop) == 5) {
            seen.parity = parity;
            seen.data = data;
            seen.stop = stop;
        } else if (std::sscanf(text, "usb_serial_set_flow_control dev %u:%u flow control %d", &bus,
                               &address, &flow) == 3) {
            seen.flow = flow;
        } else if (std::sscanf(text,
                               "usb_serial_handle_control dev %u:%u got control 0x%x, value 0x%x",
                               &bus, &address, &request, &value) == 4 &&
                   request == 0x4001) {  // the FTDI's "set modem control", vendor request 1
            seen.modem = static_cast<int>(value);
        }
    }
    return seen;
}

// The termios speed nearest to what the adapter runs at (the FTDI's divisor makes 115200 into
// 115384), or B0 when none is within 3 %.
speed_t NearestSpeed(long baud) {
    const std::pair<long, speed_t> speeds[] = {
        {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& [rate, code] : speeds) {
        if (std::labs(baud - rate) * 100 <= rate * 3) return code;
    }
    return B0;
}

// The guest's USB-serial adapter: its far end (a socket QEMU connects to the adapter) and its
// plug (QMP's device_del and device_add). One background job at a time uses the socket while the
// guest goes on; the request thread waits for it before it touches the socket itself.
class Adapter {
  public:
    Adapter(Connection& usb, int usbFd, Connection& qmp, const char* tracePath)
        : usb_(usb), usbFd_(usbFd), qmp_(qmp), tracePath_(tracePath) {}
    ~Adapter() { Finish(); }

    // Pulls the adapter out; true once QEMU reports it gone. What the guest wrote and nobody
    // read is dropped, so nothing stale reaches the next adapter.
    bool Unplug() {
        std::lock_guard hold(qmpLock_);
        std::string reply;
        int deleted = 0;
        if (!qmp_.Write("{\"execute\":\"device_del\",\"arguments\":{\"id\":\"ser0\"}}\n") ||
            !QmpReply(qmp_, &reply, &deleted))
            return false;
        while (deleted == 0) {
            if (qmp_.ReadLine(&reply) != Got::kData) return false;
            if (reply.find("\"DEVICE_DELETED\"") != std::string::npos) ++deleted;
        }
        Drain();
        unplugged_ = true;
        return true;
    }
    bool Plug() {
        std::lock_guard hold(qmpLock_);
        std::string reply;
        Drain();
        unplugged_ = false;
        return qmp_.Write(
                   "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\","
                   "\"id\":\"ser0\",\"chardev\":\"u0\",\"bus\":\"xhci.0\",\"port\":\"1\"}}\n") &&
               QmpReply(qmp_, &reply);
    }

    // In the background: for `ms` either swallows what the guest sends ("sink") or sends it a
    // byte every 100 ms ("trickle"), then pulls the adapter out.
    void UnplugAfter(int ms, bool trickle) {
        Finish();
        job_ = std::thread([this, ms, trickle] {
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (std::chrono::steady_clock::now() < end) {
                if (stop_) return;  // the guest asked for the result first: it stays plugged in
                pollfd fd{usbFd_, POLLIN, 0};
                if (poll(&fd, 1, trickle ? 100 : 10) > 0) moved_ += Drain();
                if (trickle && usb_.Write("U", 1)) ++moved_;
            }
            Unplug();
        });
    }

    // In the background: the simulated receiver (with its bootloader) behind the adapter, at the
    // speed the guest's driver set; `bricked` starts it without firmware; after `unplugAt` bytes
    // from the guest (0: never) the adapter is pulled out in the middle of what it sends.
    void Simulate(bool bricked, std::uint64_t unplugAt) {
        Finish();
        sim::DeviceState device;
        device.bricked = bricked;
        receiver_ = std::make_unique<sim::ReceiverSim>(device, sim::MakeReceiverWithBootloader());
        job_ = std::thread([this, unplugAt] { Relay(unplugAt); });
    }

    // Waits for the background job; what it did ("<bytes moved> <unplugged> <firmware now>").
    std::string Finish() {
        stop_ = true;
        if (job_.joinable()) job_.join();
        stop_ = false;
        std::string done = std::to_string(moved_.exchange(0)) + (unplugged_ ? " unplugged" : " in");
        if (receiver_ != nullptr) {
            sim::DeviceState device = receiver_->Device();
            done += device.bricked ? " bricked" : " runs " + device.firmwareVersion;
            receiver_.reset();
        }
        return done;
    }

  private:
    // Reads and drops what the socket holds now; the count.
    std::uint64_t Drain() {
        std::uint64_t count = 0;
        char chunk[4096];
        ssize_t n;
        while ((n = recv(usbFd_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            count += static_cast<std::uint64_t>(n);
        return count;
    }

    void Relay(std::uint64_t unplugAt) {
        int line = open(receiver_->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (line < 0) return;
        speed_t speed = B0;
        char chunk[4096];
        while (!stop_) {
            pollfd fds[2] = {{usbFd_, POLLIN, 0}, {line, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            if ((fds[0].revents & POLLIN) != 0) {
                ssize_t n = recv(usbFd_, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n <= 0) continue;
                // The guest set its speed before it sent these: the receiver hears them at it.
                speed_t now = NearestSpeed(ReadAdapterTrace(tracePath_).baud);
                if (now != speed) {
                    termios settings{};
                    tcgetattr(line, &settings);
                    cfmakeraw(&settings);
                    cfsetispeed(&settings, now);
                    cfsetospeed(&settings, now);
                    tcsetattr(line, TCSANOW, &settings);
                    speed = now;
                }
                if (unplugged_) continue;
                moved_ += static_cast<std::uint64_t>(n);
                for (ssize_t done = 0; done < n;) {
                    ssize_t put = write(line, chunk + done, static_cast<std::size_t>(n - done));
                    if (put > 0)
                        done += put;
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (unplugAt != 0 && moved_ >= unplugAt) Unplug();
            }
            if ((fds[1].revents & POLLIN) != 0) {
                ssize_t n = read(line, chunk, sizeof chunk);
                if (n > 0 && !unplugged_) usb_.Write(chunk, static_cast<std::size_t>(n));
            }
        }
        close(line);
    }

    Connection& usb_;
    int usbFd_;
    Connection& qmp_;
    const char* tracePath_;
    std::mutex qmpLock_;
    std::thread job_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> unplugged_{false};
    std::atomic<std::uint64_t> moved_{0};
    std::unique_ptr<sim::ReceiverSim> receiver_;
};

// One "USB ..." request; false when it is not one.
bool AnswerUsb(const std::string& request, Adapter& adapter, Connection& usb, std::string* answer,
               const char* tracePath) {
    unsigned long count = 0, seed = 0, ms = 0, bricked = 0, at = 0;
    char mode[16] = {};
    if (request == "USB TRACE") {
        *answer = ReadAdapterTrace(tracePath).Text();
    } else if (std::sscanf(request.c_str(), "USB SEND %lu %lu", &count, &seed) == 2) {
        std::vector<std::uint8_t> bytes =
            uartwire::Pattern(count, static_cast<std::uint32_t>(seed));
        *answer = usb.Write(bytes.data(), bytes.size()) ? "SEND ok" : "SEND failed";
    } else if (std::sscanf(request.c_str(), "USB RECV %lu %lu", &count, &seed) == 2) {
        std::vector<std::uint8_t> bytes;
        usb.ReadExactly(count, &bytes);
        std::vector<std::uint8_t> expected =
            uartwire::Pattern(count, static_cast<std::uint32_t>(seed));
        *answer = "RECV ok";
        if (bytes.size() < count) {
            *answer = "RECV short " + std::to_string(bytes.size());
        } else if (bytes != expected) {
            std::size_t differ = 0;
            while (bytes[differ] == expected[differ]) ++differ;
            *answer = "RECV bad " + std::to_string(differ);
        }
    } else if (request == "USB UNPLUG") {
        *answer = adapter.Unplug() ? "UNPLUG ok" : "UNPLUG failed";
    } else if (request == "USB PLUG") {
        *answer = adapter.Plug() ? "PLUG ok" : "PLUG failed";
    } else if (std::sscanf(request.c_str(), "USB UNPLUG-AFTER %lu %15s", &ms, mode) == 2) {
        adapter.UnplugAfter(static_cast<int>(ms), std::string(mode) == "trickle");
        *answer = "UNPLUG-AFTER ok";
    } else if (std::sscanf(request.c_str(), "USB SIM %lu %lu", &bricked, &at) == 2) {
        adapter.Simulate(bricked != 0, at);
        *answer = "SIM ok";
    } else if (request == "USB DONE") {
        *answer = "DONE " + adapter.Finish();
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(
            stderr,
            "usage: uart-peer SERIAL_SOCKET QMP_SOCKET TRACE_FILE PATIENCE_SECONDS [USB_SOCKET]\n");
        return 2;
    }
    const char* tracePath = argv[3];
    auto deadline = Clock::now() + std::chrono::seconds(std::atoi(argv[4]));

    // The guest's UART first: QEMU waits for it before it starts the machine.
    int serialFd = ConnectUnix(argv[1], deadline);
    if (serialFd < 0) {
        std::printf("uart-peer: no UART socket at %s\n", argv[1]);
        return 1;
    }
    Connection serial(serialFd, deadline);
    int qmpFd = ConnectUnix(argv[2], deadline);
    if (qmpFd < 0) {
        std::printf("uart-peer: no QMP socket at %s\n", argv[2]);
        return 1;
    }
    Connection qmp(qmpFd, deadline);
    std::string reply;
    if (qmp.ReadLine(&reply) != Got::kData || reply.find("QMP") == std::string::npos ||
        !qmp.Write("{\"execute\":\"qmp_capabilities\"}\n") || !QmpReply(qmp, &reply)) {
        std::printf("uart-peer: QMP did not start: %s\n", reply.c_str());
        return 1;
    }

    // The adapter's socket: QEMU plugs the adapter in once it is connected.
    int usbFd = argc == 6 ? ConnectUnix(argv[5], deadline) : -1;
    if (argc == 6 && usbFd < 0) {
        std::printf("uart-peer: no USB adapter socket at %s\n", argv[5]);
        return 1;
    }
    Connection usb(usbFd, deadline);
    Adapter adapter(usb, usbFd, qmp, tracePath);

    int answered = 0;
    int faults = 0;
    std::string request;
    for (;;) {
        Got got = serial.ReadLine(&request);
        if (got == Got::kClosed) break;
        if (got == Got::kLate) {
            std::printf("uart-peer: the guest neither asked nor hung up in time\n");
            return 1;
        }
        unsigned long count = 0;
        unsigned long seed = 0;
        bool sent = true;
        std::string usbAnswer;
        if (usbFd >= 0 && AnswerUsb(request, adapter, usb, &usbAnswer, tracePath)) {
            if (usbAnswer.find("failed") != std::string::npos) ++faults;
            sent = serial.Write(usbAnswer + "\n");
        } else if (request == "TRACE") {
            sent = serial.Write(LastLineSetting(tracePath) + "\n");
        } else if (std::sscanf(request.c_str(), "SEND %lu %lu", &count, &seed) == 2) {
            std::vector<std::uint8_t> bytes =
                uartwire::Pattern(count, static_cast<std::uint32_t>(seed));
            sent = serial.Write(bytes.data(), bytes.size());
        } else if (std::sscanf(request.c_str(), "RECV %lu %lu", &count, &seed) == 2) {
            std::vector<std::uint8_t> bytes;
            serial.ReadExactly(count, &bytes);
            std::vector<std::uint8_t> expected =
                uartwire::Pattern(count, static_cast<std::uint32_t>(seed));
            std::string answer = "RECV ok";
            if (bytes.size() < count) {
                answer = "RECV short " + std::to_string(bytes.size());
            } else if (bytes != expected) {
                std::size_t at = 0;
                while (bytes[at] == expected[at]) ++at;
                answer = "RECV bad " + std::to_string(at);
            }
            sent = serial.Write(answer + "\n");
        } else if (request == "BREAK") {
            // The answer goes only after QEMU has handed the break to the UART, so it follows it.
            bool broke =
                qmp.Write("{\"execute\":\"chardev-send-break\",\"arguments\":{\"id\":\"s1\"}}\n") &&
                QmpReply(qmp, &reply);
            sent = serial.Write(broke ? std::string("BREAK ok\n") : "BREAK failed " + reply + "\n");
            if (!broke) ++faults;
        } else {
            std::printf("uart-peer: unknown request \"%s\"\n", request.c_str());
            sent = serial.Write("ERR unknown request\n");
            ++faults;
        }
        if (!sent) {
            std::printf("uart-peer: could not answer \"%s\"\n", request.c_str());
            return 1;
        }
        ++answered;
    }
    std::printf("uart-peer: %d requests answered, the guest hung up\n", answered);
    return faults == 0 ? 0 : 1;
}
