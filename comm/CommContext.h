// The engine's private bookkeeping for one open port: its device, events, locks and threads.
//
// Contexts come from a static pool with more entries than the table has slots. A context stays
// taken until its owner (the open port) and each of its threads have let go of it, so a thread
// that CommClose gave up on can still use its own device and events safely while the slot is
// already serving the next port. The threads touch the slot only while holding `gate` and seeing
// `cutOff` false; CommClose sets cutOff under the gate before it releases the slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "comm/CommInternal.h"
#include "comm/platform/LineDevice.h"
#include "comm/platform/Sync.h"

struct CommPortContext {
    std::atomic<bool> inUse{false};  // taken by CommOpen, freed by whoever lets go last
    std::atomic<int> users{0};       // the open port plus each running thread

    comm::platform::Lock gate;
    bool cutOff = false;       // guarded by gate: the threads must not touch the slot any more
    CommPort* slot = nullptr;  // written before the threads start
    PortHandle handle = 0;     // the port's handle, the threads' argument

    std::atomic<bool> stopOrdered{false};  // CommClose's order to stop, watched by both threads
    comm::platform::LineDevice* device = nullptr;  // written before the threads start
    alignas(std::max_align_t) unsigned char deviceStorage[comm::platform::kLineDeviceStorageSize];

    comm::platform::Lock rxLock;
    comm::platform::Lock txLock;
    comm::platform::Event readerStartedEvent;
    comm::platform::Event writerStartedEvent;
    comm::platform::Event readerIoEvent;
    comm::platform::Event writerIoEvent;
    comm::platform::Event rxDataEvent;
    comm::platform::Event writerWakeEvent;
    comm::platform::Event txEmptyEvent;
    comm::platform::Event readerDoneEvent;
    comm::platform::Event writerDoneEvent;
    // The reader waits on rxRoomEvent while the receive ring is full; CommRead raises it after
    // taking bytes, but only while readerWantsRoom (written by the reader) says someone waits.
    comm::platform::Event rxRoomEvent;
    std::atomic<bool> readerWantsRoom{false};
    comm::platform::Thread readerThread;
    comm::platform::Thread writerThread;
    std::atomic<int> readerExitCode{0};
    std::atomic<int> writerExitCode{0};

    // Each thread's own copy of the bytes it moves, so that the device is never handed the
    // slot's ring storage (which a cut-off thread must not touch).
    std::uint8_t readerScratch[COMM_RING_SIZE];
    std::uint8_t writerScratch[COMM_RING_SIZE];
};

// Pool entries: the two slots plus room for contexts still held by threads given up on.
inline constexpr std::size_t kCommContextCount = 8;

// A free context with every event lowered and one user (the caller); nullptr when all are taken.
CommPortContext* CommAcquireContext();
// Lets go of one use; the last one releases the device and frees the context.
void CommReleaseContext(CommPortContext* context);
// Number of contexts taken (tests use it to see that given-up threads have gone).
std::size_t CommContextsInUse();

// The thread procedures' bodies for a context's own threads.
int CommRunReader(PortHandle handle, CommPortContext* own);
int CommRunWriter(PortHandle handle, CommPortContext* own);
