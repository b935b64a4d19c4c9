// The port table, the engine's start and stop, and the pool of port contexts.
#include <cstring>
#include <new>
#include <span>

#include "comm/CommInternal.h"
#include "comm/CommContext.h"

std::uint8_t CommStartCount = 0;
CommPort CommPortTable[2];
std::int32_t CommReaderState = 0;

namespace {

// Built once and never destroyed: a thread given up on may still be leaving while the program
// ends, so the pool must outlive every static destructor.
CommPortContext* ContextPool() {
    alignas(
        CommPortContext) static unsigned char storage[sizeof(CommPortContext) * kCommContextCount];
    static CommPortContext* pool = [] {
        auto* first = reinterpret_cast<CommPortContext*>(storage);
        for (std::size_t i = 0; i < kCommContextCount; ++i) new (first + i) CommPortContext;
        return first;
    }();
    return pool;
}

}  // namespace

int CommStartup() {
    if (CommStartCount != 0) return 0;
    CommStartCount = 1;
    std::memset(static_cast<void*>(CommPortTable), 0, sizeof CommPortTable);
    return 0;
}

int CommCleanup() {
    if (CommStartCount == 1) (void)CommCloseAll();
    if (CommStartCount != 0) --CommStartCount;
    return 0;
}

int CommCloseAll() {
    for (std::uint32_t index = 0;; ++index) {
        PortHandle handle = CommHandleAt(index);
        if (handle == 0) return 0;
        int result = CommClose(handle);
        if (result != 0 && result != COMM_ERR_BAD_HANDLE) return result;
    }
}

int CommAllocSlot(CommPort** slot) {
    for (CommPort& candidate : CommPortTable) {
        if (candidate.handle != 0) continue;
        std::memset(static_cast<void*>(&candidate), 0, sizeof candidate);
        candidate.handle = reinterpret_cast<PortHandle>(&candidate);
        candidate.lineHandle = COMM_INVALID_LINE;
        candidate.rxBuffer = candidate.rxStorage;
        candidate.txBuffer = candidate.txStorage;
        candidate.rxSize = COMM_RING_SIZE;
        candidate.txSize = COMM_RING_SIZE;
        *slot = &candidate;
        return 0;
    }
    return COMM_ERR_NO_SLOT;
}

int CommFreeSlot(PortHandle handle) {
    if (CommStartCount == 0) return COMM_ERR_NOT_STARTED;
    for (CommPort& slot : CommPortTable) {
        if (slot.handle == handle) {
            slot.handle = 0;
            return 0;
        }
    }
    return COMM_ERR_BAD_HANDLE;
}

int CommFindSlot(CommPort** slot, PortHandle handle) {
    if (CommStartCount == 0) return COMM_ERR_NOT_STARTED;
    if (handle == 0) return COMM_ERR_BAD_HANDLE;
    for (CommPort& candidate : CommPortTable) {
        if (candidate.handle != 0 && candidate.handle == handle) {
            *slot = &candidate;
            return 0;
        }
    }
    return COMM_ERR_BAD_HANDLE;
}

PortHandle CommHandleAt(std::uint32_t index) {
    if (index >= 2) return 0;
    if (CommPortTable[index].handle == 0) return -1;
    return CommPortTable[index].handle;
}

CommPortContext* CommAcquireContext() {
    for (CommPortContext& context : std::span(ContextPool(), kCommContextCount)) {
        bool expected = false;
        if (!context.inUse.compare_exchange_strong(expected, true, std::memory_order_acquire))
            continue;
        context.users.store(1, std::memory_order_relaxed);
        context.cutOff = false;
        context.slot = nullptr;
        context.stopOrdered.store(false, std::memory_order_relaxed);
        context.device = nullptr;
        for (comm::platform::Event* event :
             {&context.readerStartedEvent, &context.writerStartedEvent, &context.readerIoEvent,
              &context.writerIoEvent, &context.rxDataEvent, &context.writerWakeEvent,
              &context.txEmptyEvent, &context.readerDoneEvent, &context.writerDoneEvent,
              &context.rxRoomEvent}) {
            event->Reset();
        }
        context.readerWantsRoom.store(false, std::memory_order_relaxed);
        context.readerExitCode.store(0, std::memory_order_relaxed);
        context.writerExitCode.store(0, std::memory_order_relaxed);
        return &context;
    }
    return nullptr;
}

void CommReleaseContext(CommPortContext* context) {
    if (context->users.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (context->device != nullptr) context->device->Release();
    context->device = nullptr;
    context->inUse.store(false, std::memory_order_release);
}

std::size_t CommContextsInUse() {
    std::size_t taken = 0;
    for (CommPortContext& context : std::span(ContextPool(), kCommContextCount)) {
        if (context.inUse.load(std::memory_order_acquire)) ++taken;
    }
    return taken;
}
