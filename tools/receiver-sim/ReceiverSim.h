// The simulated receiver: a pseudo-terminal whose slave side the wizard opens as its COM port,
// served by one thread that reads what the wizard sends and answers at the wizard's line speed.
//
// Three pieces, kept apart so that another protocol can reuse the plumbing:
// - `DeviceState`: what the receiver is (firmware version, serial number, power, own speed,
//   fault mode, bricked flag). A plain struct; ReceiverSim guards it with its mutex.
// - `SimProtocol`: turns received bytes into replies. `ReceiverProtocol` (ReceiverProtocol.h)
//   speaks the request/reply link.
// - `ReceiverSim`: the pseudo-terminal, the thread, the line speed and the pacing of every byte
//   sent (10 bits a byte at the speed the wizard set).
//
// How a second protocol plugs in (the bootloader for the stand-in flasher, for example): derive
// from SimProtocol, and either hand it to ReceiverSim's constructor in place of ReceiverProtocol
// or write a small routing protocol that owns both and passes each onBytes / onSpeedChange to
// the one that applies (the bootloader when `device.bricked`, or after its entry request). The
// protocol sees the device state on every call and may change it (a finished flash writes the
// new firmware version); it sends only through the SimOutput it is given.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

enum class Fault {
    None,
    Silent,         // reads everything, answers nothing
    NoiseFlood,     // from the first byte received on, sends noise for ever
    Split,          // every reply in two parts, the second after a gap (or a release)
    Double,         // every reply twice, back to back
    Stray,          // a stray candidate in front of every reply, completed only after a gap
    BadChecksum,    // replies with a wrong checksum
    Truncated,      // identity reply cut after the version, power reply cut after the flags
    NoPower,        // no answer to the power status request
    HandshakeOnly,  // answers the handshake, nothing else
    Unplug,         // sends half the identity reply, then closes its side
    OtherSubCode,   // power reply with sub-code 4
    NoSerial,       // identity reply without the serial number: the wizard reads an empty one
    // Faults of the bootloader side (SimBootloader), for the flasher and what follows it:
    KeepsOldVersion,  // a flash "succeeds" (verify and start answered OK), the old firmware runs on
    SlowStart,        // the new firmware answers nothing for kSlowStartMs after it was started
    WornFlash,        // written blocks do not keep what was written: the verify fails
    OtherReceiver,    // after a flash another receiver answers on the line (another serial number),
                      // as when an adapter's device name leads elsewhere once it was re-plugged
};

// How long a receiver with Fault::SlowStart takes to start its new firmware.
inline constexpr int kSlowStartMs = 3000;

// Name as given to --fault ("noise-flood", ...); Fault::None for "none".
const char* FaultName(Fault fault);
// False for an unknown name.
bool ParseFault(const std::string& name, Fault& fault);

struct DeviceState {
    unsigned ownBaud = 19200;  // the only speed at which it understands anything
    std::string firmwareVersion = "169-508231-004";
    std::string serialPrefix = "VIZ";
    std::uint32_t serialValue = 0x12345678;
    bool externalPower = false;
    std::int32_t batteryLevel = 3900;
    Fault fault = Fault::None;
    bool bricked = false;           // the application is gone; only a bootloader would answer
    bool noiseAtWrongSpeed = true;  // bytes at another speed draw a little noise back
    // Takes the wizard's (or flasher's) bytes no faster than the line carries them (10 bits a
    // byte), so a writer waits on the line as on a real cable. The receiver-sim program does so
    // unless told --fast; in-process tests take bytes as they come unless they ask.
    bool pacedInput = false;
    // Split and Stray: the pause before the second part; negative holds it until Release().
    int secondPartDelayMs = 150;
};

// Where a protocol sends. Calls come only from the simulator's thread, inside the protocol's
// callbacks.
class SimOutput {
  public:
    virtual ~SimOutput() = default;
    // Queues bytes behind what is queued; they go out paced at the current line speed.
    // `delayMs` > 0 holds them that long after the bytes ahead have gone; a negative delay holds
    // them until ReceiverSim::Release().
    virtual void Send(const Bytes& bytes, int delayMs = 0) = 0;
    // Closes the simulator's side once everything queued before this call has gone out.
    virtual void UnplugAfterQueued() = 0;
    virtual bool Idle() const = 0;  // nothing queued
};

class SimProtocol {
  public:
    virtual ~SimProtocol() = default;
    // Bytes as they arrive, with the line speed in force when they were read.
    virtual void OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud,
                         DeviceState& device, SimOutput& out) = 0;
    // The wizard changed the line speed (also once at start with the initial speed).
    virtual void OnSpeedChange(unsigned baud, DeviceState& device, SimOutput& out) {
        (void)baud, (void)device, (void)out;
    }
    // Called whenever nothing is queued (about every 10 ms); a protocol may queue more.
    virtual void OnIdle(DeviceState& device, SimOutput& out) { (void)device, (void)out; }
};

// Noise for a line at the wrong speed: deterministic bytes that never contain the start byte
// 0x01, so noise alone never makes a candidate packet.
Bytes Noise(std::size_t count, std::uint32_t& seed);

class ReceiverSim {
  public:
    // Opens the pseudo-terminal and starts the thread; throws std::runtime_error on failure.
    explicit ReceiverSim(DeviceState device = {}, std::unique_ptr<SimProtocol> protocol = nullptr);
    ~ReceiverSim();  // stops the thread and closes both sides
    ReceiverSim(const ReceiverSim&) = delete;
    ReceiverSim& operator=(const ReceiverSim&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // Copies of, and changes to, the device state, under the simulator's lock.
    DeviceState Device() const;
    template <typename Change>
    void UpdateDevice(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(device_);
    }

    // Lets the next held part (delay < 0) go out.
    void Release();
    // Closes the simulator's side now (the cable is pulled).
    void Unplug();

    struct Counters {
        std::uint64_t received = 0;  // bytes read from the wizard
        std::uint64_t sent = 0;      // bytes written to the wizard
        unsigned baud = 0;           // line speed seen last
        bool unplugged = false;
    };
    Counters Count() const;
    // Waits until `predicate` holds for the counters or `timeout` passes; true when it held.
    bool WaitFor(std::chrono::milliseconds timeout,
                 const std::function<bool(const Counters&)>& predicate);

  private:
    struct Chunk {
        Bytes bytes;
        std::size_t sent = 0;
        int delayMs = 0;  // before the first byte; < 0: until released
        bool unplugAfter = false;
        bool delayStarted = false;
        std::chrono::steady_clock::time_point notBefore;
    };
    class Output;

    void Run();
    unsigned ReadBaud() const;
    void SendDue(std::chrono::steady_clock::time_point now,
                 std::chrono::steady_clock::time_point& wake);
    void Receive(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::duration ByteTime() const;
    void CloseSide();

    mutable std::mutex mutex_;  // guards everything below that the thread and callers share
    std::condition_variable changed_;
    DeviceState device_;
    std::unique_ptr<SimProtocol> protocol_;
    std::deque<Chunk> queue_;  // written by the protocol (sim thread) only
    unsigned releases_ = 0;
    bool stop_ = false;
    bool unplugRequested_ = false;
    bool lineIdle_ = true;  // nothing was queued: the next byte starts a fresh burst
    Counters counters_;

    int master_ = -1;     // used by the thread; closed by Unplug or the destructor after join
    int slaveHold_ = -1;  // our own slave descriptor: keeps the pair up while the wizard reopens
    std::string slavePath_;
    std::chrono::steady_clock::time_point nextByteAt_;  // pacing: when the next byte is complete
    // Paced input (sim thread only): when the next byte received is complete; inputBusy_ while
    // bytes are known to wait in the pseudo-terminal.
    std::chrono::steady_clock::time_point nextInputAt_;
    bool inputBusy_ = false;
    std::thread thread_;
};

}  // namespace sim
