// reflasher-pty-broker: the Linux side of the COM ports that Windows test programs use under
// Wine. Wine maps each COM port to a fixed link in a ports folder (run-under-wine writes the
// mapping once); the broker points such a link at a pseudo-terminal of its own and then acts as
// the pseudo-terminal's far end for the Windows program, which talks to it over a TCP
// connection on 127.0.0.1. One connection is one far end, served by a thread of its own; when
// the connection ends, the far end goes away (the master is closed, a simulator is stopped).
//
// Requests are lines; answers are one line, "OK ..." or "ERR <why>", except for RECV:
//   OPEN <n>            make a pseudo-terminal and point COM<n>'s link at it -> "OK <slave path>"
//   SIM <n> <args...>   start receiver-sim on COM<n>'s link with those options -> "OK"
//   SEND <k>\n<k bytes> write them all to the master (up to 20 s) -> "OK"
//   RECV <k> <ms>       read until k bytes came or ms passed -> "DATA <m>\n<m bytes>"
//   DRAIN               take whatever the master holds right now -> "OK"
//   HANGUP              close the master, as when a cable is pulled -> "OK"
//   NONE <n>            point COM<n>'s link at nothing, so that the port cannot be opened -> "OK"
//
// usage: reflasher-pty-broker <ports folder> <receiver-sim>
// Prints the TCP port it listens on, then serves until it is stopped.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string gPorts;        // the folder of COM<n> links
std::string gReceiverSim;  // the simulator program

bool SendAll(int socket, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = send(socket, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(int socket, void* data, std::size_t length) {
    auto* bytes = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t n = recv(socket, bytes, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveLine(int socket, std::string& line) {
    line.clear();
    for (;;) {
        char c;
        if (!ReceiveAll(socket, &c, 1)) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

bool Answer(int socket, const std::string& line) {
    const std::string text = line + "\n";
    return SendAll(socket, text.data(), text.size());
}

std::string LinkFor(int port) {
    return gPorts + "/COM" + std::to_string(port);
}

// Points COM<port>'s link at `target` in one step, so Wine never sees the link missing.
bool PointLink(int port, const std::string& target) {
    const std::string link = LinkFor(port);
    const std::string fresh =
        link + ".new." + std::to_string(getpid()) + "." +
        std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0) return false;
    if (rename(fresh.c_str(), link.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

// One far end: a pseudo-terminal master, or a simulator the broker started.
class FarEnd {
  public:
    explicit FarEnd(int socket) : socket_(socket) {}
    ~FarEnd() {
        CloseMaster();
        if (simulator_ > 0) {
            kill(simulator_, SIGTERM);
            while (waitpid(simulator_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        close(socket_);
    }

    void Serve() {
        std::string line;
        while (ReceiveLine(socket_, line)) {
            std::istringstream words(line);
            std::string request;
            words >> request;
            bool ok = true;
            if (request == "OPEN") {
                int port = 0;
                words >> port;
                ok = Open(port);
            } else if (request == "SIM") {
                int port = 0;
                words >> port;
                std::vector<std::string> options;
                for (std::string option; words >> option;) options.push_back(option);
                ok = StartSimulator(port, options);
            } else if (request == "SEND") {
                std::size_t count = 0;
                words >> count;
                ok = Send(count);
            } else if (request == "RECV") {
                std::size_t count = 0;
                int ms = 0;
                words >> count >> ms;
                ok = Receive(count, ms);
            } else if (request == "DRAIN") {
                Drain();
                ok = Answer(socket_, "OK");
            } else if (request == "NONE") {
                int port = 0;
                words >> port;
                ok = Answer(socket_, PointLink(port, LinkFor(port) + ".none")
                                         ? "OK"
                                         : "ERR cannot point " + LinkFor(port));
            } else if (request == "HANGUP") {
                CloseMaster();
                ok = Answer(socket_, "OK");
            } else {
                ok = Answer(socket_, "ERR unknown request " + request);
            }
            if (!ok) return;
        }
    }

  private:
    bool Open(int port) {
        CloseMaster();
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        char name[128] = {};
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0) {
            return Answer(socket_, std::string("ERR no pseudo-terminal: ") + std::strerror(errno));
        }
        if (!PointLink(port, name)) return Answer(socket_, "ERR cannot point " + LinkFor(port));
        return Answer(socket_, std::string("OK ") + name);
    }

    bool StartSimulator(int port, const std::vector<std::string>& options) {
        int output[2];
        if (simulator_ > 0 || pipe2(output, O_CLOEXEC) != 0)
            return Answer(socket_, "ERR cannot start");
        // --fast: the tests' flashes need not take as long as on a real line.
        std::vector<std::string> args{gReceiverSim, "--fast", "--link", LinkFor(port)};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        // The simulator makes the link itself; it replaces an old link but not another file.
        unlink(LinkFor(port).c_str());
        simulator_ = fork();
        if (simulator_ == 0) {
            // It goes when this thread goes, however the broker ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(output[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(output[1]);
        if (simulator_ < 0) {
            simulator_ = 0;
            close(output[0]);
            return Answer(socket_, "ERR cannot start " + gReceiverSim);
        }
        // Ready once it has printed its link.
        char c = 0;
        ssize_t n;
        while ((n = read(output[0], &c, 1)) == 1 && c != '\n') {
        }
        close(output[0]);
        return Answer(socket_, n == 1 ? "OK" : "ERR the simulator did not start");
    }

    bool Send(std::size_t count) {
        std::vector<char> bytes(count);
        if (!ReceiveAll(socket_, bytes.data(), count)) return false;
        std::size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (master_ >= 0 && done < count && Clock::now() < deadline) {
            const ssize_t n = write(master_, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            pollfd wait{master_, POLLOUT, 0};
            poll(&wait, 1, 10);
        }
        return Answer(socket_, done == count ? "OK" : "ERR sent only " + std::to_string(done));
    }

    bool Receive(std::size_t count, int ms) {
        std::vector<char> bytes(count);
        std::size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (master_ >= 0 && done < count && Clock::now() < deadline) {
            const ssize_t n = read(master_, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            // Also when nobody holds the slave open (the master then reports a hang-up).
            pollfd wait{master_, POLLIN, 0};
            if (poll(&wait, 1, 10) > 0 && (wait.revents & POLLIN) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return Answer(socket_, "DATA " + std::to_string(done)) &&
               SendAll(socket_, bytes.data(), done);
    }

    void Drain() {
        char scrap[4096];
        while (master_ >= 0 && read(master_, scrap, sizeof scrap) > 0) {
        }
    }

    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    int socket_;
    int master_ = -1;
    pid_t simulator_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: reflasher-pty-broker <ports folder> <receiver-sim>\n");
        return 2;
    }
    gPorts = argv[1];
    gReceiverSim = argv[2];
    signal(SIGPIPE, SIG_IGN);  // a far end whose program went away is noticed by send()

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("reflasher-pty-broker");
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    std::fflush(stdout);

    for (;;) {
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("reflasher-pty-broker: accept");
            return 1;
        }
        const int one = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread([connection] { FarEnd(connection).Serve(); }).detach();
    }
}
