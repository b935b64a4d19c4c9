#include "bench/PacedRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <stdexcept>

namespace bench {

namespace {

// The shortest sleep between bursts of bytes that are due.
constexpr std::int64_t kBurstNs = 1'000'000;
// Below this a wait is not slept.
constexpr std::int64_t kSpinNs = 300'000;

std::uint32_t BaudOf(speed_t code) {
    switch (code) {
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

}  // namespace

PacedRelay::PacedRelay(const std::string& receiverPath) {
    receiver_ = open(receiverPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (receiver_ < 0) throw std::runtime_error("cannot open the simulator's side");
    thread_ = std::thread([this] { Run(); });
}

PacedRelay::~PacedRelay() {
    stop_ = true;
    thread_.join();
    close(receiver_);
}

PacedRelay::Phase PacedRelay::Observed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

void PacedRelay::Run() {
    std::deque<std::uint8_t> pending;  // from the flasher, not yet on the simulator's side
    std::int64_t nextByteAt = 0;       // when the byte at the front of `pending` is complete
    std::uint32_t applied = 0;
    std::uint8_t buffer[4096];
    while (!stop_) {
        // The flasher's speed goes onto the simulator's side before any byte sent at it.
        termios front{};
        std::uint32_t baud = applied;
        if (tcgetattr(front_.Slave(), &front) == 0) baud = BaudOf(cfgetospeed(&front));
        if (baud != 0 && baud != applied) {
            termios back{};
            tcgetattr(receiver_, &back);
            cfmakeraw(&back);
            cfsetispeed(&back, cfgetospeed(&front));
            cfsetospeed(&back, cfgetospeed(&front));
            tcsetattr(receiver_, TCSANOW, &back);
            applied = baud;
        }
        const std::int64_t byteNs = applied == 0 ? 0 : 10'000'000'000LL / applied;

        std::int64_t now = NowNs();
        if (!pending.empty() && now >= nextByteAt) {
            const auto due =
                static_cast<std::size_t>((now - nextByteAt) / std::max<std::int64_t>(byteNs, 1)) +
                1;
            const std::size_t count = std::min({due, pending.size(), sizeof buffer});
            std::copy_n(pending.begin(), count, buffer);
            const ssize_t written = write(receiver_, buffer, count);
            if (written > 0) {
                pending.erase(pending.begin(), pending.begin() + written);
                nextByteAt += byteNs * written;
                Watch(buffer, static_cast<std::size_t>(written), NowNs());
            }
        }

        // Bytes due go out together, at most a millisecond apart, as from a UART's FIFO: the rate
        // stays the line's (nextByteAt counts every byte), and the relay sleeps between them.
        // (Waking for each byte at 115200 was a wait of 0 ms, a spin: sixteen relays spinning
        // took the machine from the station they were to measure.)
        std::int64_t waitNs = 5'000'000;
        if (!pending.empty()) {
            // ... but never past the moment the last pending byte is due: a request's end is not
            // held back. So close to it a sleep would wake late on a busy machine: the relay looks
            // again at once instead, for those few microseconds.
            const std::int64_t lastDue =
                nextByteAt + byteNs * static_cast<std::int64_t>(pending.size() - 1);
            waitNs =
                std::max<std::int64_t>({0, nextByteAt - now, std::min(kBurstNs, lastDue - now)});
            if (waitNs < kSpinNs) waitNs = 0;
        }
        const timespec wait{static_cast<time_t>(waitNs / 1'000'000'000),
                            static_cast<long>(waitNs % 1'000'000'000)};
        pollfd fds[2] = {{front_.Master(), POLLIN, 0}, {receiver_, POLLIN, 0}};
        if (ppoll(fds, 2, &wait, nullptr) <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(front_.Master(), buffer, sizeof buffer);
            if (n > 0) {
                now = NowNs();
                // A line at rest starts the first byte now; it is complete one byte time later.
                if (pending.empty() && nextByteAt < now) nextByteAt = now + byteNs;
                pending.insert(pending.end(), buffer, buffer + n);
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            const ssize_t n = read(receiver_, buffer, sizeof buffer);
            if (n > 0) WriteAll(front_.Master(), buffer, static_cast<std::size_t>(n));
        }
    }
}

// Follows the flasher's requests as they finish crossing the line.
void PacedRelay::Watch(const std::uint8_t* bytes, std::size_t count, std::int64_t now) {
    reader_.Feed(bytes, count);
    std::lock_guard<std::mutex> lock(mutex_);
    phase_.hostBytes += count;
    while (auto frame = reader_.Next()) {
        if (frame->command == boot::kWrite) {
            if (phase_.writeFrames++ == 0) {
                phase_.firstWriteNs = now;
                phase_.firstBlock = static_cast<std::uint32_t>(frame->data.size() - 4);
            }
        } else if (frame->command == boot::kVerify && phase_.verifyNs == 0) {
            phase_.verifyNs = now;
        }
    }
}

}  // namespace bench
