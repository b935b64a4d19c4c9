// The serial port engine: a table of at most two open COM ports, each with a reader and a
// writer thread that feed a receive ring and drain a transmit ring. This header is what its users
// see: the operations, the records and the result codes. The table, its slots and the threads'
// procedures are the engine's own (comm/CommInternal.h).
//
// Threads: every operation here is called from one thread at a time (the user-interface thread
// in the wizard); the engine takes no lock around its table. CommWrite may run concurrently with
// the port's writer thread, and CommRead / CommBytesAvailable with its reader thread: each ring has
// one producer and one consumer. The engine never throws and never allocates from the heap.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes: 0 is success, counts are >= 0, failures are negative.
enum : int {
    COMM_ERR_NOT_STARTED = -1,
    COMM_ERR_BAD_HANDLE = -3,
    COMM_ERR_BAD_LENGTH = -5,
    COMM_ERR_NO_SLOT = -6,
    COMM_ERR_OPEN_FAILED = -7,
    COMM_ERR_BAD_BAUD = -8,
    COMM_ERR_BAD_PARITY = -9,
    COMM_ERR_BAD_STOPBITS = -10,
    COMM_ERR_SETUP_FAILED = -11,
    COMM_ERR_RESOURCE = -12,
};

// Names an open port: the address of its slot in the engine's table. Never 0. Callers hold it as
// an opaque integer.
using PortHandle = std::intptr_t;

// The caller's description of a line.
struct CommPortConfig {
    std::int32_t port;      // COM port number
    std::uint32_t baud;     // bit/s; 0 stands for 9600 on devices without a free speed setting
    std::uint8_t dataBits;  // 4..8; 0 stands for 8
    std::uint8_t parity;    // 0/1 none, 2 odd, 3 even, 4 mark, 5 space
    std::uint8_t stopBits;  // 0/1 one, 2 one and a half, 3 two
    std::uint8_t xonXoff;   // flags: on only when 1 for the line settings
    std::uint8_t ctsHandshake;
    std::uint8_t dsrHandshake;
    std::uint32_t spare[5];  // stored, never interpreted
    std::int32_t lastError;  // in the port's copy: platform error of the last failed transfer
};

// Starts the engine (a second start is not counted) and stops it, closing every port still open.
int CommStartup();
int CommCleanup();
int CommCloseAll();

int CommOpen(PortHandle* handle, const CommPortConfig* config);
// After a CommOpen that failed: the COM port's device and why it could not
// be opened, for the operator ("/dev/ttyUSB0: Permission denied; add this user to ..."); empty
// when the last CommOpen worked or failed before it came to the device (engine stopped, no slot).
const char* CommOpenFailure();
// The device that stands for COM `port` on this machine ("/dev/ttyUSB0" from REFLASHER_COM<n>,
// else "/dev/ttyS<n-1>"; "\\.\COM3" on Windows), NUL-terminated in `name`.
void CommPortDevice(std::int32_t port, char* name, std::size_t size);
// Applies `config` to the port's line and keeps it in the slot. -11 (COMM_ERR_SETUP_FAILED):
// the port is not open, the driver refused the settings or the time-outs, or the settings read
// back afterwards differ in what goes over the wire: the speed (a standard speed exactly; another
// speed by more than the driver's rounding, 3 %), the data bits, the parity, the stop bits or the
// flow control asked for (CTS, DSR, XON/XOFF). Fields a driver reports as it likes are not
// compared. After a refused read-back the line gets its previous settings back. CommOpen calls it
// before the threads start; it may also be called on an open port while its threads run (from the
// thread that owns the table): the writer picks up the new handshake flags at its next turn.
int CommSetLine(PortHandle handle, const CommPortConfig* config);
int CommClose(PortHandle handle);

// The claim on COM `port` across the programs of this machine that CommOpen takes (a named mutex
// on Windows; on POSIX the device's flock, which needs nothing more). It outlasts CommClose, so
// that the flasher the wizard starts on the port next is covered too: CommClaimPort takes it (or
// finds it taken by this program) before such a run, CommReleasePort lets go once the run has
// ended. CommClaimPort returns 0, or COMM_ERR_OPEN_FAILED with CommOpenFailure saying why.
int CommClaimPort(std::int32_t port);
void CommReleasePort(std::int32_t port);

int CommWrite(PortHandle handle, const void* bytes, std::int32_t length);
int CommRead(PortHandle handle, void* destination, std::int32_t length);
int CommBytesAvailable(PortHandle handle);

// The engine's own trouble reports ("Comms Error" notices of CommClose) go through this hook.
// The default writes to standard error; the application routes them to its message box.
using CommNoticeHook = void (*)(const char* caption, const char* text);
void CommSetNoticeHook(CommNoticeHook hook);
