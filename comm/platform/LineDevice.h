// The engine's seam to the operating system's serial ports: one open COM device.
//
// The engine describes a line with LineState, a record with the member names and flag layout of
// the Windows DCB, and LineTimeouts (COMMTIMEOUTS); each platform maps them to what its driver
// offers and refuses what it cannot do. The real device and test fakes live side by side: the
// engine opens devices through a factory that tests may replace.
//
// Threads: the engine's user-interface thread opens, configures and closes the device; the port's
// reader thread calls SetEventMask, WaitEvent and Read; its writer thread calls Write and
// GetModemStatus. SetState, SetTimeouts, CancelWaits and Close may be called while the other two
// are inside a call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace comm::platform {

// The flags below carry the values of the Windows flags of the same meaning (BAUD_USER, EV_RXCHAR,
// MS_CTS_ON, ...), under names of their own: <windows.h> makes those names macros.

// Settable speeds the device reports; kBaudUser means "any speed in bit/s".
inline constexpr std::uint32_t kBaudUser = 0x10000000;

struct LineProperties {
    std::uint32_t dwSettableBaud;
};

// Values of LineState::Parity, ::StopBits and the DTR/RTS control fields.
enum : std::uint8_t {
    kNoParity = 0,
    kOddParity = 1,
    kEvenParity = 2,
    kMarkParity = 3,
    kSpaceParity = 4,
};
enum : std::uint8_t {
    kOneStopBit = 0,
    kOne5StopBits = 1,
    kTwoStopBits = 2,
};
inline constexpr std::uint32_t kDtrControlEnable = 1;
inline constexpr std::uint32_t kRtsControlEnable = 1;

// The line state, 28 bytes, flag word at offset 8 with fBinary in bit 0 (the DCB layout).
struct LineState {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t fBinary : 1;
    std::uint32_t fParity : 1;
    std::uint32_t fOutxCtsFlow : 1;
    std::uint32_t fOutxDsrFlow : 1;
    std::uint32_t fDtrControl : 2;
    std::uint32_t fDsrSensitivity : 1;
    std::uint32_t fTXContinueOnXoff : 1;
    std::uint32_t fOutX : 1;
    std::uint32_t fInX : 1;
    std::uint32_t fErrorChar : 1;
    std::uint32_t fNull : 1;
    std::uint32_t fRtsControl : 2;
    std::uint32_t fAbortOnError : 1;
    std::uint32_t fDummy2 : 17;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};
static_assert(sizeof(LineState) == 28, "LineState keeps the DCB's size");

struct LineTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;

// Line events (event mask and the events a wait yields).
inline constexpr std::uint32_t kEvRxChar = 0x001;
inline constexpr std::uint32_t kEvRlsd = 0x020;
inline constexpr std::uint32_t kEvAll = 0x1FF;

// Modem-line status bits.
inline constexpr std::uint32_t kMsCtsOn = 0x010;
inline constexpr std::uint32_t kMsDsrOn = 0x020;
inline constexpr std::uint32_t kMsRingOn = 0x040;
inline constexpr std::uint32_t kMsRlsdOn = 0x080;

class LineDevice {
  public:
    virtual bool GetProperties(LineProperties* properties) = 0;
    // Fills *state only on success.
    virtual bool GetState(LineState* state) = 0;
    // Applies the whole state at once; false (nothing changed) for what the device cannot do.
    virtual bool SetState(const LineState& state) = 0;
    virtual bool GetTimeouts(LineTimeouts* timeouts) = 0;
    virtual bool SetTimeouts(const LineTimeouts& timeouts) = 0;

    // A change of mask ends a pending WaitEvent (with no events).
    virtual bool SetEventMask(std::uint32_t mask) = 0;
    // Blocks until an event of the mask occurs, the mask changes or CancelWaits is called, and
    // yields the events that occurred (possibly none). A line that has hung up yields no events,
    // at a slow pace, instead of returning at once again and again.
    virtual bool WaitEvent(std::uint32_t* events) = 0;

    // Takes what the driver holds, at most maxBytes, without waiting. Returns 0 with *got >= 0,
    // or the platform's error code.
    virtual int Read(void* destination, std::int32_t maxBytes, std::int32_t* got) = 0;
    // Sends within the write time-outs. Returns 0 with *written (possibly short of length when
    // the time ran out), or the platform's error code.
    virtual int Write(const void* bytes, std::int32_t length, std::int32_t* written) = 0;
    // False when the modem lines cannot be read (the caller then takes them as off).
    virtual bool GetModemStatus(std::uint32_t* status) = 0;

    // From now on every wait of this device, pending or future, returns at once.
    virtual void CancelWaits() = 0;
    // Lets go of the line, so that it can be opened again at once; later calls fail. Threads
    // still inside a call come out of it promptly and touch nothing of the line afterwards.
    virtual void Close() = 0;
    // The last user is gone: frees what is left. The object must not be used afterwards.
    virtual void Release() = 0;

  protected:
    ~LineDevice() = default;
};

// Storage that the engine lends a device for its own object, so that opening needs no heap.
inline constexpr std::size_t kLineDeviceStorageSize = 256;

// Opens COM port `port`; nullptr when there is no such device or it is in use. The device may
// construct itself in `storage` (kLineDeviceStorageSize bytes, max-aligned).
using LineDeviceFactory = LineDevice* (*)(std::int32_t port, void* storage);

// The platform's own factory.
LineDevice* OpenPlatformLineDevice(std::int32_t port, void* storage);

// The device that stands for COM `port` ("/dev/ttyUSB0", "\\.\COM3"), NUL-terminated in `name`.
void PortDeviceName(std::int32_t port, char* name, std::size_t size);
// Why the calling thread's last failed OpenPlatformLineDevice failed, in the system's words and
// with what the operator can do about it where that is known; empty before any failure.
const char* LastOpenFailure();

// Opens the device at `path` as the engine opens a COM port (without sharing) and lets go of it
// at once, changing none of its settings: true when this user could open it now; otherwise `why`
// says why, in the words LastOpenFailure uses (busy, permission with the group hint, ...).
bool ProbeDevice(const char* path, char* why, std::size_t size);

// The claim on COM `port` across the processes of this machine, for the platforms whose device
// lock does not outlive the device (Windows: a named mutex per port; POSIX: none, flock does it).
// ClaimPort takes it, or finds it this process's already; false when another process holds it,
// or (`opening`: for a device about to be opened) when a device of this process has the port
// open; GetLastError / LastOpenFailure then say so. The claim lasts past PortClosed (the device's
// close), so that a flasher started on the port next is covered, until LetGoOfPort, a claim on
// another port, or the end of the process. User-interface thread.
bool ClaimPort(std::int32_t port, bool opening);
void PortClosed(std::int32_t port);
void LetGoOfPort(std::int32_t port);

// Replaces the factory that CommOpen uses; nullptr restores the platform's.
void SetLineDeviceFactory(LineDeviceFactory factory);
LineDevice* OpenLineDevice(std::int32_t port, void* storage);

}  // namespace comm::platform
