// Reply collection and decoding: the receiver conversation's state (port handle, identity, power
// status), owned by the connecting page and used on its thread only.
#pragma once

#include <cstdint>

#include "comm/Comm.h"

// Fixed-size texts, so that decoding never allocates.
struct ReceiverIdentity {
    char serialNumber[12] = {};     // at most 11 characters, NUL-terminated
    char firmwareVersion[15] = {};  // at most 14 characters, NUL-terminated
};

struct PowerStatus {
    std::int32_t externalPower = 0;  // 1 or 0
    std::int32_t batteryLevel = 0;   // raw value; 3600 and up is enough without external power
};

// What the last (or the running) collection did; for diagnostics and tests.
struct CollectionStats {
    std::uint32_t cycles = 0;           // cycles started, each after one 250 ms pause
    std::uint32_t busyCycles = 0;       // cycles in which new bytes arrived
    std::uint32_t packets = 0;          // valid packets dispatched (never more than one a cycle)
    std::uint32_t lastPacketCycle = 0;  // 1-based cycle of the last dispatch; 0 for none
    std::uint32_t held = 0;             // bytes held at the end of the cycle
    bool hitCycleLimit = false;         // ended by a cycle bound while the collection was busy
    bool stalled = false;               // ended with an incomplete candidate that stopped growing
};

// Where a collection gets its bytes and how it waits between cycles. The wizard's is the serial
// engine on `ReceiverLink::port` with a 250 ms sleep; the fuzzer feeds recorded streams.
class ReplySource {
  public:
    virtual ~ReplySource() = default;
    virtual void Pause() = 0;                                             // start of every cycle
    virtual int BytesAvailable() = 0;                                     // < 0: an engine error
    virtual int Read(std::uint8_t* destination, std::int32_t count) = 0;  // bytes copied, or < 0
};

// Outcome of one scan of the held bytes.
struct ScanStep {
    bool dispatched = false;    // a valid packet went to DispatchReply
    std::uint32_t removed = 0;  // bytes taken off the front of the buffer
};

class ReceiverLink {
  public:
    static constexpr std::uint32_t kCapacity = 1000;
    static constexpr std::uint32_t kCyclePauseMs = 250;
    static constexpr std::uint32_t kMinScanLength = 4;
    // A sender that never lets the line rest cannot hold the page for more than this many cycles
    // with new bytes (5 s). Cycles that only dispatch what is already held do not count, so every
    // packet of a burst is dispatched; they are bounded by what the buffer can hold.
    static constexpr std::uint32_t kMaxBusyCycles = 20;
    static constexpr std::uint32_t kMaxCycles = kMaxBusyCycles + kCapacity / 6;

    // Waits for replies on `port`, in the caller's buffer of at least kCapacity bytes.
    // True when at least one valid packet was dispatched. Ends at the first cycle in which no
    // byte arrived and the scan removed nothing, after kMaxBusyCycles cycles in which bytes
    // arrived, or after kMaxCycles cycles in all.
    bool CollectReplies(std::uint8_t* buffer);
    // The same collection on any source (CollectReplies passes the engine and the cycle pause).
    bool CollectFrom(ReplySource& source, std::uint8_t* buffer);
    // Scans the `held` bytes at the front of `buffer` once: dispatches at most one valid packet,
    // then removes it with the garbage before it (or the garbage before an incomplete candidate,
    // or everything when no candidate is left) and moves the rest down. Needs held >= 4.
    ScanStep ScanHeld(std::uint8_t* buffer, std::uint32_t& held);
    // Routes one valid packet of `length` bytes to its decoder.
    void DispatchReply(const std::uint8_t* packet, std::uint32_t length);
    // The decoders read only inside the packet's data (its first length - 2 bytes); fields that
    // a short reply lacks decode as empty texts or zero values.
    void ParseIdentityReply(const std::uint8_t* packet, std::uint32_t length);
    void ParsePowerReply(const std::uint8_t* packet, std::uint32_t length);

    PortHandle port = 0;
    ReceiverIdentity identity;
    PowerStatus power;
    // Power replies decoded whole (both fields present); a caller compares it across a request
    // to tell an answer that carried the power state from one that did not.
    std::uint32_t powerReplies = 0;
    CollectionStats stats;  // reset at the start of every collection

    // Called at the end of every collection cycle, on the collecting thread (tests use it to
    // time a sender against the cycles). Null for none.
    using CycleHook = void (*)(void* context, const CollectionStats& soFar);
    CycleHook cycleHook = nullptr;
    void* cycleHookContext = nullptr;
    // Waits out the pause at the start of each cycle of CollectReplies, in place of a plain sleep
    // (the wizard keeps its windows painted meanwhile). Null: sleep.
    using PauseHook = void (*)(void* context, std::uint32_t ms);
    PauseHook pauseHook = nullptr;
    void* pauseHookContext = nullptr;
};
