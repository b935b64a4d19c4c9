// The serial port engine's inside: the table of port slots, the slot record the threads share
// with the user-interface thread, the table operations and the threads' procedures. For comm/'s
// own files, and for the tests and benchmarks that look inside the engine; everyone else uses
// comm/Comm.h.
#pragma once

#include <cstdint>

#include "comm/Comm.h"

namespace comm::platform {
class LineDevice;
class Event;
class Lock;
class Thread;
}  // namespace comm::platform

// The open COM device of a port; COMM_INVALID_LINE before the device is open and from the first
// step of closing on.
using CommLineHandle = comm::platform::LineDevice*;
inline constexpr CommLineHandle COMM_INVALID_LINE = nullptr;

using CommEvent = comm::platform::Event;
using CommLock = comm::platform::Lock;
using CommThread = comm::platform::Thread;

inline constexpr std::int32_t COMM_RING_SIZE = 4096;

struct CommPortContext;  // the engine's private per-open bookkeeping

// One slot of the table. The user-interface thread owns the slot; the port's threads touch it
// only while their context lets them (CommClose cuts a thread it gives up on off for good).
// Ring indices, done flags and config.lastError are shared with the threads and accessed
// atomically. Events, locks and threads live in the context and the slot points at them.
struct CommPort {
    PortHandle handle;          // the slot's own address; 0 = slot free
    CommPortConfig config;      // as accepted by the line; lastError written by the threads
    CommLineHandle lineHandle;  // UI thread only; the threads watch their context's stop order
    CommThread* readerThread;
    CommEvent* readerStartedEvent;
    std::int32_t readerDone;  // written by the reader as it ends
    CommEvent* readerDoneEvent;
    CommEvent* rxDataEvent;
    CommEvent* readerIoEvent;
    CommLock* rxLock;  // CommRead and CommBytesAvailable
    std::int32_t rxSize;
    std::int32_t rxRead;   // advanced by CommRead only
    std::int32_t rxWrite;  // advanced by the reader thread only
    std::uint8_t* rxBuffer;
    CommThread* writerThread;
    CommEvent* writerStartedEvent;
    std::int32_t writerDone;  // written by the writer as it ends
    CommEvent* writerDoneEvent;
    CommEvent* writerWakeEvent;
    CommEvent* txEmptyEvent;
    CommEvent* writerIoEvent;
    CommLock* txLock;  // CommWrite
    std::int32_t txSize;
    std::int32_t txRead;   // advanced by the writer thread only
    std::int32_t txWrite;  // advanced by CommWrite only
    std::uint8_t* txBuffer;
    std::uint8_t rxStorage[COMM_RING_SIZE];
    std::uint8_t txStorage[COMM_RING_SIZE];
    CommPortContext* context;  // written by CommOpen before the threads start
};

// Engine-wide state, zero at program start.
extern std::uint8_t CommStartCount;  // 0 stopped, 1 started; UI thread only
extern CommPort CommPortTable[2];
extern std::int32_t CommReaderState;  // last progress value any reader wrote (diagnostic)

int CommAllocSlot(CommPort** slot);
int CommFreeSlot(PortHandle handle);
int CommFindSlot(CommPort** slot, PortHandle handle);
// The handle of slot `index`: -1 for a free slot, 0 for an index past the table.
PortHandle CommHandleAt(std::uint32_t index);

// The port threads' procedures, started by CommOpen with the port's handle. Called with a handle
// that names no open port they return the lookup's code at once.
int CommReaderThread(PortHandle handle);
int CommWriterThread(PortHandle handle);
