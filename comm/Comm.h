// The serial port engine: a table of at most two open COM ports, each with a reader and a
// writer thread that feed a receive ring and drain a transmit ring.
//
// Threads: every operation here is called from one thread at a time (the user-interface thread
// in the wizard); the engine takes no lock around its table. CommWrite may run concurrently with
// the port's writer thread, and CommRead / CommBytesAvailable with its reader thread: each ring has
// one producer and one consumer. The engine never throws and never allocates from the heap.
#pragma once

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

// Names an open port: the address of its slot in the table. Never 0; -1 marks a free slot in
// CommHandleAt.
using PortHandle = std::intptr_t;

// The caller's description of a line.
struct CommPortConfig {
    std::int32_t port;           // COM port number
    std::uint32_t baud;          // bit/s; 0 stands for 9600 on devices without a free speed setting
    std::uint8_t dataBits;       // 4..8; 0 stands for 8
    std::uint8_t parity;         // 0/1 none, 2 odd, 3 even, 4 mark, 5 space
    std::uint8_t stopBits;       // 0/1 one, 2 one and a half, 3 two
    std::uint8_t xonXoff;        // flags: on only when 1 for the line settings
    std::uint8_t ctsHandshake;
    std::uint8_t dsrHandshake;
    std::uint32_t spare[5];      // stored, never interpreted
    std::int32_t lastError;      // in the port's copy: platform error of the last failed transfer
};

struct CommPort;  // one slot of the table; defined below

int CommStartup();
int CommCleanup();
int CommCloseAll();
int CommAllocSlot(CommPort** slot);
int CommFreeSlot(PortHandle handle);
int CommFindSlot(CommPort** slot, PortHandle handle);
PortHandle CommHandleAt(std::uint32_t index);

int CommOpen(PortHandle* handle, const CommPortConfig* config);
int CommSetLine(PortHandle handle, const CommPortConfig* config);
int CommClose(PortHandle handle);

int CommWrite(PortHandle handle, const void* bytes, std::int32_t length);
int CommRead(PortHandle handle, void* destination, std::int32_t length);
int CommBytesAvailable(PortHandle handle);

int CommReaderThread(PortHandle handle);
int CommWriterThread(PortHandle handle);

// The engine's own trouble reports ("Comms Error" notices of CommClose) go through this hook.
// The default writes to standard error; the application routes them to its message box.
using CommNoticeHook = void (*)(const char* caption, const char* text);
void CommSetNoticeHook(CommNoticeHook hook);
