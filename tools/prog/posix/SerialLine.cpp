#include "tools/prog/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

bool SpeedCode(std::uint32_t baud, speed_t& code) {
    switch (baud) {
        case 1200:
            code = B1200;
            return true;
        case 2400:
            code = B2400;
            return true;
        case 4800:
            code = B4800;
            return true;
        case 9600:
            code = B9600;
            return true;
        case 19200:
            code = B19200;
            return true;
        case 38400:
            code = B38400;
            return true;
        case 57600:
            code = B57600;
            return true;
        case 115200:
            code = B115200;
            return true;
        case 230400:
            code = B230400;
            return true;
        default:
            return false;
    }
}

}  // namespace

SerialLine::~SerialLine() {
    if (line_ >= 0) close(static_cast<int>(line_));
}

std::string SerialLine::DevicePath(int port) {
    const std::string name = "REFLASHER_COM" + std::to_string(port);
    const char* device = std::getenv(name.c_str());
    if (device != nullptr && *device != '\0') return device;
    return "/dev/ttyS" + std::to_string(port - 1);
}

bool SerialLine::Open(int port, std::uint32_t baud, std::string& error) {
    const std::string path = DevicePath(port);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    line_ = fd;
    if (fd < 0) {
        const int why = errno;
        error = "cannot open " + path + ": " + std::strerror(why);
        // Serial devices belong to a group whose members may open them.
        if (why == EACCES || why == EPERM)
            error +=
                "; add this user to the group that owns the device (dialout on Debian: sudo "
                "adduser $USER "
                "dialout) and log in again";
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + " is in use by another program";
        return false;
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        error = path + " is not a serial port: " + std::strerror(errno);
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | HUPCL);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    speed_t code{};
    if (!SpeedCode(baud, code) || cfsetispeed(&settings, code) != 0 ||
        cfsetospeed(&settings, code) != 0 || tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = path + " does not take " + std::to_string(baud) + " baud";
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool SerialLine::SetSpeed(std::uint32_t baud) {
    const int fd = static_cast<int>(line_);
    termios settings{};
    speed_t code{};
    if (!SpeedCode(baud, code) || tcgetattr(fd, &settings) != 0) return false;
    tcdrain(fd);
    cfsetispeed(&settings, code);
    cfsetospeed(&settings, code);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool SerialLine::Write(const std::uint8_t* bytes, std::size_t length) {
    const int fd = static_cast<int>(line_);
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(1000 + 10 * length);
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t n = write(fd, bytes + sent, length - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

int SerialLine::Read(std::uint8_t* buffer, std::size_t capacity, int ms) {
    const int fd = static_cast<int>(line_);
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, ms);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    const ssize_t n = read(fd, buffer, capacity);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    if (n == 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return -1;
    return static_cast<int>(n);
}

void SerialLine::DiscardInput() {
    tcflush(static_cast<int>(line_), TCIFLUSH);
}
