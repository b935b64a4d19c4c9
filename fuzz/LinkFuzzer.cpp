// Arbitrary received bytes through the link: FindPacket, the collection's scan-and-remove loop
// and both decoders. The first input byte is how many bytes arrive per cycle (minus one); the
// rest is the stream the receiver sent. Every check that fails traps, so libFuzzer keeps the input.
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/Packet.h"
#include "link/ReceiverLink.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void CheckDecoded(const ReceiverLink& link) {
    Check(std::memchr(link.identity.serialNumber, 0, sizeof link.identity.serialNumber) != nullptr);
    Check(std::memchr(link.identity.firmwareVersion, 0, sizeof link.identity.firmwareVersion) !=
          nullptr);
    Check(link.power.externalPower == 0 || link.power.externalPower == 1);
}

bool SameDecoding(const ReceiverLink& a, const ReceiverLink& b) {
    return std::strcmp(a.identity.serialNumber, b.identity.serialNumber) == 0 &&
           std::strcmp(a.identity.firmwareVersion, b.identity.firmwareVersion) == 0 &&
           a.power.externalPower == b.power.externalPower &&
           a.power.batteryLevel == b.power.batteryLevel;
}

// The stream as the engine would hand it over: `perCycle` more bytes arrive at every pause.
class StreamSource : public ReplySource {
  public:
    StreamSource(const std::uint8_t* stream, std::size_t size, std::size_t perCycle)
        : stream_(stream), size_(size), perCycle_(perCycle) {}
    void Pause() override {
        std::size_t more = size_ - arrived_;
        arrived_ += more < perCycle_ ? more : perCycle_;
    }
    int BytesAvailable() override { return static_cast<int>(arrived_ - taken_); }
    int Read(std::uint8_t* destination, std::int32_t count) override {
        Check(count > 0 && static_cast<std::size_t>(count) <= arrived_ - taken_);
        std::memcpy(destination, stream_ + taken_, static_cast<std::size_t>(count));
        taken_ += static_cast<std::size_t>(count);
        return count;
    }

  private:
    const std::uint8_t* stream_;
    std::size_t size_;
    std::size_t perCycle_;
    std::size_t arrived_ = 0;
    std::size_t taken_ = 0;
};

// Exactly sized heap copies, so that AddressSanitizer sees any read past the end.
std::unique_ptr<std::uint8_t[]> Copy(const std::uint8_t* bytes, std::size_t size) {
    auto copy = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
    if (size != 0) {
        std::memcpy(copy.get(), bytes, size);
    }
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t readSize = data[0] + 1u;
    const std::uint8_t* stream = data + 1;
    const std::size_t streamSize = size - 1;

    // The collection's cycles: one read (cut to the free space), one scan of at least 4 bytes.
    constexpr std::uint32_t kCapacity = ReceiverLink::kCapacity;
    auto buffer = std::make_unique<std::uint8_t[]>(kCapacity);
    ReceiverLink inBuffer;  // decodes in place, as the collection does
    ReceiverLink exact;     // decodes the same packets from exact copies
    std::uint32_t held = 0;
    std::size_t position = 0;
    std::size_t cycles = 0;
    for (;;) {
        Check(++cycles <= streamSize + kCapacity + 2);  // every cycle reads or removes something
        std::size_t wanted = readSize;
        if (wanted > streamSize - position) {
            wanted = streamSize - position;
        }
        if (wanted > kCapacity - held) {
            wanted = kCapacity - held;
        }
        std::memcpy(buffer.get() + held, stream + position, wanted);
        held += static_cast<std::uint32_t>(wanted);
        position += wanted;

        bool progressed = wanted > 0;
        if (held >= ReceiverLink::kMinScanLength) {
            std::uint32_t offset = 0;
            std::uint32_t length = held;
            const int result = FindPacket(buffer.get(), offset, length);
            if (result == 0) {
                Check(length >= 6 && length <= 261 && offset + length <= held);
                Check(buffer[offset] == 0x01 && buffer[offset + 1] + buffer[offset + 2] == 0xFF);
                Check(length == buffer[offset + 3] + 6u);
                Check(VerifyChecksum(buffer.get() + offset, length - 2) == 0);
                auto packet = Copy(buffer.get() + offset, length);
                exact.DispatchReply(packet.get(), length);
            } else {
                Check(result == 1 || result == 3);
                Check((length == 0 && offset < held && buffer[offset] == 0x01) ||
                      (offset == 0 && length == held));
            }
            const std::uint32_t before = held;
            const ScanStep step = inBuffer.ScanHeld(buffer.get(), held);
            Check(step.dispatched == (result == 0));
            Check(step.removed == (offset + length < before ? offset + length : before));
            Check(held == before - step.removed && held <= kCapacity);
            Check(SameDecoding(inBuffer, exact));
            CheckDecoded(inBuffer);
            progressed = progressed || step.removed > 0;
        }
        if (!progressed) {
            break;
        }
    }
    // A full buffer never stays full: no packet is longer than 261 bytes.
    Check(held < kCapacity);

    // The collection itself on the same stream: it ends, within its bounds, with a result that
    // agrees with what it dispatched.
    {
        ReceiverLink link;
        StreamSource source(stream, streamSize, readSize);
        auto collectBuffer = std::make_unique<std::uint8_t[]>(kCapacity);
        const bool found = link.CollectFrom(source, collectBuffer.get());
        const CollectionStats& stats = link.stats;
        Check(found == (stats.packets > 0));
        Check(stats.cycles >= 1 && stats.cycles <= ReceiverLink::kMaxCycles);
        Check(stats.busyCycles <= stats.cycles && stats.busyCycles <= ReceiverLink::kMaxBusyCycles);
        Check(stats.packets < stats.cycles ||
              (stats.hitCycleLimit && stats.packets == stats.cycles));
        Check(stats.held < kCapacity);
        Check(!(stats.stalled && stats.hitCycleLimit));
        Check(stats.hitCycleLimit || stats.held < ReceiverLink::kMinScanLength || stats.stalled);
        CheckDecoded(link);
    }

    // The decoders on the raw stream as one "packet" of any length.
    ReceiverLink raw;
    auto whole = Copy(stream, streamSize);
    const auto length = static_cast<std::uint32_t>(streamSize);
    raw.DispatchReply(whole.get(), length);
    raw.ParseIdentityReply(whole.get(), length);
    CheckDecoded(raw);
    raw.ParsePowerReply(whole.get(), length);
    CheckDecoded(raw);
    return 0;
}
