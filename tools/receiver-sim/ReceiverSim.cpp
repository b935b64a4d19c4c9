#include "tools/receiver-sim/ReceiverSim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tools/receiver-sim/ReceiverProtocol.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTick = std::chrono::milliseconds(10);  // longest sleep between looks at the line

struct FaultEntry {
    Fault fault;
    const char* name;
};

constexpr FaultEntry kFaults[] = {
    {Fault::None, "none"},
    {Fault::Silent, "silent"},
    {Fault::NoiseFlood, "noise-flood"},
    {Fault::Split, "split"},
    {Fault::Double, "double"},
    {Fault::Stray, "stray"},
    {Fault::BadChecksum, "bad-checksum"},
    {Fault::Truncated, "truncated"},
    {Fault::NoPower, "no-power"},
    {Fault::HandshakeOnly, "handshake-only"},
    {Fault::Unplug, "unplug"},
    {Fault::OtherSubCode, "other-subcode"},
    {Fault::NoSerial, "no-serial"},
    {Fault::KeepsOldVersion, "keeps-old-version"},
    {Fault::SlowStart, "slow-start"},
    {Fault::WornFlash, "worn-flash"},
    {Fault::OtherReceiver, "other-receiver"},
};

unsigned BaudOf(speed_t speed) {
    switch (speed) {
        case B50:
            return 50;
        case B300:
            return 300;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
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

const char* FaultName(Fault fault) {
    for (const FaultEntry& entry : kFaults) {
        if (entry.fault == fault) {
            return entry.name;
        }
    }
    return "none";
}

bool ParseFault(const std::string& name, Fault& fault) {
    for (const FaultEntry& entry : kFaults) {
        if (name == entry.name) {
            fault = entry.fault;
            return true;
        }
    }
    return false;
}

Bytes Noise(std::size_t count, std::uint32_t& seed) {
    Bytes noise(count);
    for (std::uint8_t& byte : noise) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
        if (byte == 0x01) {
            byte = 0xFE;
        }
    }
    return noise;
}

// The SimOutput handed to protocols: appends to the queue; runs on the sim thread under its lock.
class ReceiverSim::Output : public SimOutput {
  public:
    explicit Output(ReceiverSim& sim) : sim_(sim) {}
    void Send(const Bytes& bytes, int delayMs) override {
        if (bytes.empty() && delayMs == 0) {
            return;
        }
        Chunk chunk;
        chunk.bytes = bytes;
        chunk.delayMs = delayMs;
        sim_.queue_.push_back(std::move(chunk));
    }
    void UnplugAfterQueued() override {
        Chunk chunk;
        chunk.unplugAfter = true;
        sim_.queue_.push_back(std::move(chunk));
    }
    bool Idle() const override { return sim_.queue_.empty(); }

  private:
    ReceiverSim& sim_;
};

ReceiverSim::ReceiverSim(DeviceState device, std::unique_ptr<SimProtocol> protocol)
    : device_(std::move(device)), protocol_(std::move(protocol)) {
    if (!protocol_) {
        protocol_ = std::make_unique<ReceiverProtocol>();
    }
    char name[128] = {};
    int slave = -1;
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    slaveHold_ = slave;
    slavePath_ = name;
    // Raw from the start, so nothing sent before the wizard sets the line is echoed back to us.
    termios settings{};
    if (tcgetattr(slaveHold_, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(slaveHold_, TCSANOW, &settings);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveHold_, F_SETFD, FD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

ReceiverSim::~ReceiverSim() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    CloseSide();
}

DeviceState ReceiverSim::Device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

void ReceiverSim::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releases_;
}

void ReceiverSim::Unplug() {
    std::unique_lock<std::mutex> lock(mutex_);
    unplugRequested_ = true;
    changed_.wait(lock, [this] { return counters_.unplugged || stop_; });
}

ReceiverSim::Counters ReceiverSim::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

bool ReceiverSim::WaitFor(std::chrono::milliseconds timeout,
                          const std::function<bool(const Counters&)>& predicate) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(counters_); });
}

unsigned ReceiverSim::ReadBaud() const {
    // On Linux the master reports the line settings that the slave's user made.
    termios settings{};
    if (master_ < 0 || tcgetattr(master_, &settings) != 0) {
        return 0;
    }
    return BaudOf(cfgetospeed(&settings));
}

void ReceiverSim::CloseSide() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    if (slaveHold_ >= 0) {
        close(slaveHold_);
        slaveHold_ = -1;
    }
    counters_.unplugged = true;
    queue_.clear();
}

Clock::duration ReceiverSim::ByteTime() const {
    const unsigned baud = counters_.baud != 0 ? counters_.baud : 9600;
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::microseconds(10'000'000 / baud));
}

void ReceiverSim::SendDue(Clock::time_point now, Clock::time_point& wake) {
    const auto byteTime = ByteTime();
    while (!queue_.empty() && master_ >= 0) {
        Chunk& chunk = queue_.front();
        if (chunk.sent == 0 && chunk.delayMs != 0) {
            if (chunk.delayMs < 0) {
                if (releases_ == 0) {
                    return;
                }
                --releases_;
                lineIdle_ = true;
            } else {
                if (!chunk.delayStarted) {
                    chunk.delayStarted = true;
                    chunk.notBefore =
                        std::max(now, nextByteAt_) + std::chrono::milliseconds(chunk.delayMs);
                }
                if (now < chunk.notBefore) {
                    wake = std::min(wake, chunk.notBefore);
                    return;
                }
                nextByteAt_ = std::max(nextByteAt_, chunk.notBefore + byteTime);
            }
            chunk.delayMs = 0;
        }
        if (chunk.unplugAfter) {
            // One byte time after the last byte, as a cable pulled right after it.
            if (now < nextByteAt_) {
                wake = std::min(wake, nextByteAt_);
                return;
            }
            CloseSide();
            return;
        }
        if (lineIdle_) {
            nextByteAt_ = std::max(nextByteAt_, now + byteTime);
            lineIdle_ = false;
        }
        if (now < nextByteAt_) {
            wake = std::min(wake, nextByteAt_);
            return;
        }
        // Every byte whose ten bit times are over; a late wake-up never sends faster than the line.
        const auto due = static_cast<std::size_t>((now - nextByteAt_) / byteTime) + 1;
        const std::size_t count = std::min(due, chunk.bytes.size() - chunk.sent);
        const ssize_t written = write(master_, chunk.bytes.data() + chunk.sent, count);
        if (written <= 0) {
            // The wizard's side is full (nobody reads): try again shortly.
            wake = std::min(wake, now + std::chrono::milliseconds(1));
            return;
        }
        chunk.sent += static_cast<std::size_t>(written);
        counters_.sent += static_cast<std::uint64_t>(written);
        nextByteAt_ += byteTime * written;
        if (chunk.sent == chunk.bytes.size()) {
            queue_.pop_front();
        }
    }
    if (queue_.empty()) {
        lineIdle_ = true;
    }
}

void ReceiverSim::Receive(Clock::time_point now) {
    std::uint8_t bytes[1024];
    std::size_t want = sizeof bytes;
    if (device_.pacedInput) {
        // The first byte seen after a quiet line is complete one byte time later; then every
        // byte whose ten bit times are over.
        if (!inputBusy_) {
            nextInputAt_ = std::max(nextInputAt_, now + ByteTime());
            inputBusy_ = true;
        }
        if (now < nextInputAt_) return;
        want = std::min(want, static_cast<std::size_t>((now - nextInputAt_) / ByteTime()) + 1);
    }
    const ssize_t got = read(master_, bytes, want);
    if (got <= 0) {
        inputBusy_ = false;
        return;
    }
    if (device_.pacedInput) {
        nextInputAt_ += ByteTime() * got;
        if (static_cast<std::size_t>(got) < want) inputBusy_ = false;  // the line is quiet again
    }
    const unsigned baud = ReadBaud();
    Output out(*this);
    if (baud != counters_.baud) {
        counters_.baud = baud;
        protocol_->OnSpeedChange(baud, device_, out);
    }
    counters_.received += static_cast<std::uint64_t>(got);
    protocol_->OnBytes(bytes, static_cast<std::size_t>(got), baud, device_, out);
}

void ReceiverSim::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    Output out(*this);
    counters_.baud = ReadBaud();
    protocol_->OnSpeedChange(counters_.baud, device_, out);
    while (!stop_) {
        if (unplugRequested_ && master_ >= 0) {
            CloseSide();
        }
        if (master_ < 0) {
            changed_.notify_all();
            changed_.wait(lock, [this] { return stop_; });
            break;
        }
        auto now = Clock::now();
        auto wake = now + kTick;
        const unsigned baud = ReadBaud();
        if (baud != counters_.baud) {
            counters_.baud = baud;
            protocol_->OnSpeedChange(baud, device_, out);
        }
        if (queue_.empty()) {
            protocol_->OnIdle(device_, out);
        }
        SendDue(now, wake);
        if (master_ < 0) {
            continue;  // unplugged by the protocol
        }
        changed_.notify_all();

        // Paced input: bytes that wait in the pseudo-terminal are looked at again when the next
        // one is complete, not whenever the terminal says there are some.
        short events = POLLIN;
        if (device_.pacedInput && inputBusy_ && now < nextInputAt_) {
            events = 0;
            wake = std::min(wake, nextInputAt_);
        }
        const int master = master_;
        lock.unlock();
        now = Clock::now();
        const auto wait =
            std::max(Clock::duration::zero(), std::min<Clock::duration>(wake - now, kTick));
        timespec timeout{};
        timeout.tv_nsec =
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
        pollfd fd{master, events, 0};
        const int ready = ppoll(&fd, 1, &timeout, nullptr);
        lock.lock();
        if (ready == 0 && events != 0) inputBusy_ = false;  // nothing came: the line is quiet
        if (ready > 0 && (fd.revents & POLLIN) != 0 && master_ >= 0) {
            Receive(Clock::now());
        } else if (ready > 0 && (fd.revents & (POLLHUP | POLLERR)) != 0) {
            // Nobody holds the other side (cannot happen while we hold it ourselves): do not spin.
            changed_.wait_for(lock, kTick);
        }
    }
    changed_.notify_all();
}

}  // namespace sim
