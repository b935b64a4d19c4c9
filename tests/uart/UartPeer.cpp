// The host's end of the QEMU guest's second UART: answers the guest's requests
// (tests/uart/UartWire.h) until the guest hangs up. QEMU listens on two local sockets, the UART's
// and its QMP monitor's, and writes its trace of the UART's line settings to a file.
//
// Usage: uart-peer SERIAL_SOCKET QMP_SOCKET TRACE_FILE PATIENCE_SECONDS
// Exits 0 when the guest hung up and every request was understood and answered in time.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/uart/UartWire.h"

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

// Reads QMP replies until the command's own ("return" or "error"); events are passed over.
bool QmpReply(Connection& qmp, std::string* reply) {
    for (;;) {
        if (qmp.ReadLine(reply) != Got::kData) return false;
        if (reply->find("\"return\"") != std::string::npos) return true;
        if (reply->find("\"error\"") != std::string::npos) return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: uart-peer SERIAL_SOCKET QMP_SOCKET TRACE_FILE PATIENCE_SECONDS\n");
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
        if (request == "TRACE") {
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
