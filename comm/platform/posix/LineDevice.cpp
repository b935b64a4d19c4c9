// COM ports on POSIX: COM n is the device named by REFLASHER_COM<n>, else /dev/ttyS<n-1>.
#include "comm/platform/LineDevice.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "comm/platform/posix/CustomSpeed.h"

namespace comm::platform {

namespace {

struct SpeedCode {
    std::uint32_t baud;
    speed_t code;
};

// The speeds with a termios code. B0 (which hangs up the line) is not here, and SetState refuses
// a speed of 0; other speeds (14400, 128000, 256000, ...) go through termios2.
constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// Windows' BAUD_* bits for the speeds of the fixed list that termios can set.
constexpr std::uint32_t kSettableBaud =
    0x0002 /*300*/ | 0x0004 /*600*/ | 0x0008 /*1200*/ | 0x0020 /*2400*/ | 0x0040 /*4800*/ |
    0x0100 /*9600*/ | 0x1000 /*19200*/ | 0x2000 /*38400*/ | 0x4000 /*57600*/ | 0x20000 /*115200*/;

bool SpeedCodeFor(std::uint32_t baud, speed_t* code) {
    for (const SpeedCode& speed : kSpeeds) {
        if (speed.baud == baud) {
            *code = speed.code;
            return true;
        }
    }
    return false;
}

std::uint32_t BaudFor(speed_t code) {
    for (const SpeedCode& speed : kSpeeds) {
        if (speed.code == code) return speed.baud;
    }
    return 0;
}

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool IsHangUp(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

class PosixLineDevice final : public LineDevice {
  public:
    PosixLineDevice(int line, int cancelFd, int maskFd)
        : line_(line), cancelFd_(cancelFd), maskFd_(maskFd) {}

    bool GetProperties(LineProperties* properties) override {
        // No free speed setting: only the listed speeds, and 0 stands for 9600.
        properties->dwSettableBaud = kSettableBaud;
        return true;
    }

    bool GetState(LineState* state) override {
        termios settings{};
        if (tcgetattr(line_, &settings) != 0) return false;
        LineState result = *state;
        result.BaudRate = BaudFor(cfgetospeed(&settings));
        if (result.BaudRate == 0) (void)ReadLineSpeed(line_, &result.BaudRate);
        switch (settings.c_cflag & CSIZE) {
            case CS5:
                result.ByteSize = 5;
                break;
            case CS6:
                result.ByteSize = 6;
                break;
            case CS7:
                result.ByteSize = 7;
                break;
            default:
                result.ByteSize = 8;
                break;
        }
        if ((settings.c_cflag & PARENB) == 0) {
            result.Parity = kNoParity;
        } else if ((settings.c_cflag & CMSPAR) != 0) {
            result.Parity = (settings.c_cflag & PARODD) != 0 ? kMarkParity : kSpaceParity;
        } else {
            result.Parity = (settings.c_cflag & PARODD) != 0 ? kOddParity : kEvenParity;
        }
        result.StopBits = (settings.c_cflag & CSTOPB) != 0 ? kTwoStopBits : kOneStopBit;
        result.fBinary = 1;
        result.fParity = (settings.c_iflag & INPCK) != 0;
        result.fOutxCtsFlow = (settings.c_cflag & CRTSCTS) != 0;
        result.fOutX = (settings.c_iflag & IXON) != 0;
        result.fInX = (settings.c_iflag & IXOFF) != 0;
        result.XonChar = static_cast<char>(settings.c_cc[VSTART]);
        result.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
        *state = result;
        return true;
    }

    bool SetState(const LineState& state) override {
        termios settings{};
        if (tcgetattr(line_, &settings) != 0) return false;
        speed_t speed;
        if (state.BaudRate == 0) return false;
        bool custom = !SpeedCodeFor(state.BaudRate, &speed);
        if (custom) speed = B38400;  // replaced by the real speed below
        tcflag_t size;
        switch (state.ByteSize) {
            case 5:
                size = CS5;
                break;
            case 6:
                size = CS6;
                break;
            case 7:
                size = CS7;
                break;
            case 8:
                size = CS8;
                break;
            default:
                return false;  // termios has no 4-bit characters
        }
        if (state.StopBits == kOne5StopBits || state.StopBits > kTwoStopBits) return false;
        if (state.Parity > kSpaceParity) return false;

        cfmakeraw(&settings);
        // cfmakeraw leaves input flow control and parity checking as they were: the state decides.
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
        settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | HUPCL | CRTSCTS);
        settings.c_cflag |= size | CLOCAL | CREAD;
        switch (state.Parity) {
            case kOddParity:
                settings.c_cflag |= PARENB | PARODD;
                break;
            case kEvenParity:
                settings.c_cflag |= PARENB;
                break;
            case kMarkParity:
                settings.c_cflag |= PARENB | CMSPAR | PARODD;
                break;
            case kSpaceParity:
                settings.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                break;
        }
        if (state.Parity != kNoParity && state.fParity) settings.c_iflag |= INPCK;
        if (state.StopBits == kTwoStopBits) settings.c_cflag |= CSTOPB;
        if (state.fOutxCtsFlow) settings.c_cflag |= CRTSCTS;
        if (state.fOutX) settings.c_iflag |= IXON;
        if (state.fInX) settings.c_iflag |= IXOFF;
        if (state.XonChar != 0) settings.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
        if (state.XoffChar != 0) settings.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        if (custom) {
            RawTermios raw{settings.c_iflag, settings.c_oflag, settings.c_cflag,
                           settings.c_lflag, settings.c_cc,    NCCS};
            if (!ApplyWithCustomSpeed(line_, raw, state.BaudRate)) return false;
        } else if (tcsetattr(line_, TCSANOW, &settings) != 0) {
            return false;
        }

        // DTR and RTS on, as the line-state record asks; a pseudo-terminal has neither.
        int lines = 0;
        if (state.fDtrControl == kDtrControlEnable) lines |= TIOCM_DTR;
        if (state.fRtsControl == kRtsControlEnable) lines |= TIOCM_RTS;
        if (lines != 0) (void)ioctl(line_, TIOCMBIS, &lines);
        return true;
    }

    bool GetTimeouts(LineTimeouts* timeouts) override {
        *timeouts = timeouts_;
        return true;
    }

    // Reads never wait (the descriptor is non-blocking), which is what the engine's "return at
    // once" read time-outs ask for; the write time-outs bound each Write.
    bool SetTimeouts(const LineTimeouts& timeouts) override {
        if (closed_.load(std::memory_order_acquire)) return false;
        timeouts_ = timeouts;
        writeMultiplier_.store(timeouts.WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
        writeConstant_.store(timeouts.WriteTotalTimeoutConstant, std::memory_order_relaxed);
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        if (closed_.load(std::memory_order_acquire)) return false;
        mask_.store(mask, std::memory_order_release);
        std::uint64_t one = 1;
        ssize_t ignored = write(maskFd_, &one, sizeof one);
        (void)ignored;
        return true;
    }

    bool WaitEvent(std::uint32_t* events) override {
        *events = 0;
        // A mask change that came before this wait is not this wait's business.
        std::uint64_t count;
        ssize_t ignored = read(maskFd_, &count, sizeof count);
        (void)ignored;
        for (;;) {
            if (closed_.load(std::memory_order_acquire)) return false;
            std::uint32_t mask = mask_.load(std::memory_order_acquire);
            // A hang-up is for good: the kernel gives a hung-up descriptor (an unplugged USB
            // adapter, a pseudo-terminal whose other side closed) failing file operations, and
            // a re-plugged adapter is another device. From then on only a close or a change of
            // mask ends the wait, so the reader sleeps instead of coming back to a dead line.
            bool hungUp = hungUp_.load(std::memory_order_relaxed);
            pollfd fds[3] = {{cancelFd_, POLLIN, 0}, {maskFd_, POLLIN, 0}, {line_, 0, 0}};
            // Only received characters can be watched here; carrier changes are not reported.
            if (!hungUp && (mask & kEvRxChar) != 0) fds[2].events = POLLIN;
            int ready = poll(fds, hungUp ? 2 : 3, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[0].revents != 0 || fds[1].revents != 0) return true;
            // A hung-up line stays "readable" (reads return end-of-file): take what may be left
            // once; the read that finds the end reports the hang-up.
            bool gone = (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            if (gone) hungUp_.store(true, std::memory_order_relaxed);
            if ((fds[2].revents & POLLIN) != 0) {
                *events = kEvRxChar;
                return true;
            }
        }
    }

    int Read(void* destination, std::int32_t maxBytes, std::int32_t* got) override {
        *got = 0;
        if (closed_.load(std::memory_order_acquire)) return EBADF;
        for (;;) {
            ssize_t n = read(line_, destination, static_cast<std::size_t>(maxBytes));
            if (n > 0) {
                *got = static_cast<std::int32_t>(n);
                return 0;
            }
            if (n == 0) {
                // A raw line without read time-outs also returns 0 when it is merely empty; it is
                // end of file only when the line reports a hang-up as well. A USB adapter pulled
                // out ends that way (a pseudo-terminal fails with EIO): both are EIO to the
                // engine, so the reader records the loss at once.
                pollfd line{line_, POLLIN, 0};
                if (poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR)) != 0) {
                    hungUp_.store(true, std::memory_order_relaxed);
                    return EIO;
                }
                return 0;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (IsHangUp(errno)) hungUp_.store(true, std::memory_order_relaxed);
            return errno;
        }
    }

    int Write(const void* bytes, std::int32_t length, std::int32_t* written) override {
        *written = 0;
        if (closed_.load(std::memory_order_acquire)) return EBADF;
        std::int64_t budget =
            static_cast<std::int64_t>(writeMultiplier_.load(std::memory_order_relaxed)) * length +
            writeConstant_.load(std::memory_order_relaxed);
        // One deadline for the whole write; zero time-outs mean no limit.
        std::int64_t deadline = budget > 0 ? NowMs() + budget : -1;
        const auto* next = static_cast<const unsigned char*>(bytes);
        std::int32_t done = 0;
        while (done < length) {
            ssize_t n = write(line_, next + done, static_cast<std::size_t>(length - done));
            if (n > 0) {
                done += static_cast<std::int32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                *written = done;
                if (IsHangUp(errno)) hungUp_.store(true, std::memory_order_relaxed);
                return errno;
            }
            int waitMs = -1;
            if (deadline >= 0) {
                std::int64_t left = deadline - NowMs();
                if (left <= 0) break;
                waitMs = static_cast<int>(left);
            }
            pollfd fds[2] = {{cancelFd_, POLLIN, 0}, {line_, POLLOUT, 0}};
            int ready = poll(fds, 2, waitMs);
            if (ready < 0 && errno != EINTR) {
                // A wait that failed is a failed write, not a short one that the time-outs cut.
                *written = done;
                return errno;
            }
            if (fds[0].revents != 0) break;
            if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                (fds[1].revents & POLLOUT) == 0) {
                *written = done;
                hungUp_.store(true, std::memory_order_relaxed);
                return EIO;
            }
        }
        *written = done;
        return 0;
    }

    bool GetModemStatus(std::uint32_t* status) override {
        *status = 0;
        if (closed_.load(std::memory_order_acquire)) return false;
        int lines = 0;
        if (ioctl(line_, TIOCMGET, &lines) != 0) return false;  // e.g. a pseudo-terminal
        if (lines & TIOCM_CTS) *status |= kMsCtsOn;
        if (lines & TIOCM_DSR) *status |= kMsDsrOn;
        if (lines & TIOCM_RNG) *status |= kMsRingOn;
        if (lines & TIOCM_CD) *status |= kMsRlsdOn;
        return true;
    }

    void CancelWaits() override {
        // The counter is never read by the waits, so it stays readable: no wake can be lost.
        std::uint64_t one = 1;
        ssize_t ignored = write(cancelFd_, &one, sizeof one);
        (void)ignored;
    }

    void Close() override {
        if (closed_.exchange(true, std::memory_order_acq_rel)) return;
        CancelWaits();
        (void)ioctl(line_, TIOCNXCL);
        (void)flock(line_, LOCK_UN);
        // The descriptor number stays taken (by /dev/null) until Release, so that a thread still
        // inside a call can never reach a file that someone else opened under the same number.
        int spare = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (spare >= 0) {
            dup3(spare, line_, O_CLOEXEC);
            close(spare);
        }
    }

    void Release() override {
        Close();
        close(line_);
        close(cancelFd_);
        close(maskFd_);
        this->~PosixLineDevice();
    }

  private:
    int line_;      // the tty, non-blocking; /dev/null after Close
    int cancelFd_;  // eventfd raised once by CancelWaits and never drained
    int maskFd_;    // eventfd raised by each change of event mask, drained by WaitEvent
    std::atomic<std::uint32_t> mask_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> hungUp_{false};  // reader and writer note a hang-up; WaitEvent then sleeps
    LineTimeouts timeouts_{};          // the opening (user-interface) thread's own copy
    // What the writer needs of the time-outs; CommSetLine may change them while it writes.
    std::atomic<std::uint32_t> writeMultiplier_{0};
    std::atomic<std::uint32_t> writeConstant_{0};
};

static_assert(sizeof(PosixLineDevice) <= kLineDeviceStorageSize);

}  // namespace

namespace {

thread_local char tLastOpenFailure[192];

// Why an open failed with `error`, in words the operator can act on.
void DescribeOpenFailure(int error, char* text, std::size_t size) {
    if (error == EACCES || error == EPERM) {
        // Serial devices belong to a group whose members may open them.
        std::snprintf(
            text, size,
            "%s; add this user to the group that owns the device (dialout on Debian: sudo adduser "
            "$USER dialout) and log in again",
            std::strerror(error));
    } else if (error == EWOULDBLOCK || error == EBUSY) {
        std::snprintf(text, size, "in use by another program");
    } else {
        std::snprintf(text, size, "%s", std::strerror(error));
    }
}

void NoteOpenFailure(int error) {
    DescribeOpenFailure(error, tLastOpenFailure, sizeof tLastOpenFailure);
}

// A device path is opened whole or not at all: one that the engine's buffer (and the kernel)
// cannot hold is refused with this reason, never cut to a path that names another file.
bool FitsWhole(const char* path, char* why, std::size_t size) {
    if (std::strlen(path) < PATH_MAX) return true;
    std::snprintf(why, size,
                  "the device's path is longer than %d bytes, the most a device's path may have",
                  PATH_MAX - 1);
    return false;
}

const char* MappedDevice(std::int32_t port) {
    char variable[32];
    std::snprintf(variable, sizeof variable, "REFLASHER_COM%d", static_cast<int>(port));
    const char* path = std::getenv(variable);
    return path != nullptr && *path != '\0' ? path : nullptr;
}

}  // namespace

void PortDeviceName(std::int32_t port, char* name, std::size_t size) {
    const char* path = MappedDevice(port);
    if (path != nullptr) {
        std::snprintf(name, size, "%s", path);
    } else {
        std::snprintf(name, size, "/dev/ttyS%d", static_cast<int>(port) - 1);
    }
}

const char* LastOpenFailure() {
    return tLastOpenFailure;
}

bool ProbeDevice(const char* path, char* why, std::size_t size) {
    // The same open and lock as a port's, so that the answer is the one CommOpen would get; the
    // lock goes with the descriptor, and nothing is read, written or set meanwhile.
    if (!FitsWhole(path, why, size)) return false;
    const int line = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        DescribeOpenFailure(errno, why, size);
        return false;
    }
    // /dev/null, a FIFO or a plain file opens too, but no receiver answers there.
    if (!isatty(line)) {
        std::snprintf(why, size, "not a serial port (not a terminal device)");
        close(line);
        return false;
    }
    const bool locked = flock(line, LOCK_EX | LOCK_NB) == 0;
    if (!locked) DescribeOpenFailure(errno, why, size);
    close(line);
    return locked;
}

LineDevice* OpenPlatformLineDevice(std::int32_t port, void* storage) {
    char path[PATH_MAX];
    const char* mapped = MappedDevice(port);
    if (mapped != nullptr && !FitsWhole(mapped, tLastOpenFailure, sizeof tLastOpenFailure))
        return nullptr;
    PortDeviceName(port, path, sizeof path);
    int line = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line < 0) {
        NoteOpenFailure(errno);
        return nullptr;
    }
    // No sharing: flock refuses a second open even to root and within one process; TIOCEXCL
    // keeps out other programs that do not use flock.
    if (flock(line, LOCK_EX | LOCK_NB) != 0) {
        NoteOpenFailure(errno);
        close(line);
        return nullptr;
    }
    (void)ioctl(line, TIOCEXCL);
    // A port starts with empty driver buffers: nothing left over from an earlier user (a
    // pseudo-terminal keeps its buffers while its other end stays open).
    (void)tcflush(line, TCIOFLUSH);
    int cancelFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int maskFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (cancelFd < 0 || maskFd < 0) {
        NoteOpenFailure(errno);
        if (cancelFd >= 0) close(cancelFd);
        if (maskFd >= 0) close(maskFd);
        (void)ioctl(line, TIOCNXCL);
        close(line);
        return nullptr;
    }
    return new (storage) PosixLineDevice(line, cancelFd, maskFd);
}

}  // namespace comm::platform
