// The port's reader and writer threads, and the calls that fill and drain the two rings.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "comm/CommInternal.h"
#include "comm/CommContext.h"

using comm::platform::LineDevice;
using comm::platform::LockHold;

namespace {

constexpr std::uint32_t kWriterIdleWaitMs = 100;
constexpr std::uint32_t kHandshakeRetryMs = 10;
constexpr std::uint32_t kRoomRetryMs = 1;
constexpr std::uint32_t kFailedWaitPauseMs = 100;

void SetReaderState(std::int32_t state) {
    std::atomic_ref(CommReaderState).store(state, std::memory_order_relaxed);
}

bool StopOrdered(const CommPortContext* context) {
    return context->stopOrdered.load(std::memory_order_acquire);
}

// The port's ring indices, for the side that advances `own` and watches `other`.
std::int32_t Watch(std::int32_t& other) {
    return std::atomic_ref(other).load(std::memory_order_acquire);
}
void Publish(std::int32_t& own, std::int32_t value) {
    std::atomic_ref(own).store(value, std::memory_order_release);
}

std::int32_t BytesHeld(std::int32_t write, std::int32_t read, std::int32_t size) {
    std::int32_t held = write - read;
    return held < 0 ? held + size : held;
}

// Contiguous free space at the write index; one position always stays free.
std::int32_t ContiguousFree(std::int32_t write, std::int32_t read, std::int32_t size) {
    if (write < read) return read - write - 1;
    return size - write - (read == 0 ? 1 : 0);
}

// Contiguous bytes at the read index, up to the end of the storage.
std::int32_t ContiguousHeld(std::int32_t write, std::int32_t read, std::int32_t size) {
    return write >= read ? write - read : size - read;
}

void StoreLastError(CommPortContext* context, int error) {
    LockHold hold(context->gate);
    if (!context->cutOff) std::atomic_ref(context->slot->config.lastError).store(error);
}

// Finds the thread's slot. A thread of the engine's own (`own` set) does so under its context's
// gate and gives up if CommOpen has already given up on it.
int LookUp(PortHandle handle, CommPortContext* own, CommPort** slot) {
    if (own == nullptr) return CommFindSlot(slot, handle);
    LockHold hold(own->gate);
    if (own->cutOff) return COMM_ERR_BAD_HANDLE;
    int result = CommFindSlot(slot, handle);
    if (result == 0 && (*slot)->context != own) result = COMM_ERR_BAD_HANDLE;
    return result;
}

// One read burst: takes what the driver holds, as long as reads deliver. False when the thread
// must leave (stop ordered or cut off).
bool ReadBurst(CommPortContext* context, LineDevice* device) {
    CommPort* slot = context->slot;
    for (;;) {
        SetReaderState(7);
        if (StopOrdered(context)) return false;
        std::int32_t room;
        std::int32_t write;
        {
            LockHold hold(context->gate);
            if (context->cutOff) return false;
            write = slot->rxWrite;
            room = ContiguousFree(write, Watch(slot->rxRead), slot->rxSize);
        }
        if (room == 0) {
            // The ring is full: wait for CommRead to make room, at most 1 ms at a time so that a
            // close is seen. The driver keeps the bytes; the line stays readable, so ending the
            // burst here would only come straight back.
            context->readerWantsRoom.store(true);
            context->rxRoomEvent.Wait(kRoomRetryMs);
            context->rxRoomEvent.Reset();
            context->readerWantsRoom.store(false);
            continue;
        }
        SetReaderState(8);
        context->readerIoEvent.Reset();
        std::int32_t got = 0;
        int error = device->Read(context->readerScratch, room, &got);
        context->readerIoEvent.Set();
        if (error != 0) {
            StoreLastError(context, error);
            return true;  // a failed read ends only the burst
        }
        SetReaderState(10);
        if (got <= 0) return true;
        {
            LockHold hold(context->gate);
            if (context->cutOff) return false;
            std::memcpy(slot->rxBuffer + write, context->readerScratch,
                        static_cast<std::size_t>(got));
            write += got;
            if (write == slot->rxSize) write = 0;
            Publish(slot->rxWrite, write);
        }
        SetReaderState(11);
        context->rxDataEvent.Set();
    }
}

void RunReader(CommPortContext* context) {
    LineDevice* device = context->device;
    CommPort* slot = context->slot;
    SetReaderState(1);
    device->SetEventMask(comm::platform::kEvRxChar | comm::platform::kEvRlsd);
    while (!StopOrdered(context)) {
        SetReaderState(2);
        std::uint32_t events = 0;
        bool waited = device->WaitEvent(&events);
        if (StopOrdered(context)) break;
        // A device whose wait fails outright would otherwise send the reader straight round.
        if (!waited) comm::platform::SleepMs(kFailedWaitPauseMs);
        SetReaderState(3);
        device->SetEventMask(comm::platform::kEvRxChar);
        SetReaderState(4);
        if ((events & comm::platform::kEvRxChar) == 0) continue;
        if (!ReadBurst(context, device)) break;
        SetReaderState(12);
    }
    SetReaderState(13);
    {
        LockHold hold(context->gate);
        if (!context->cutOff) std::atomic_ref(slot->readerDone).store(1);
    }
    context->readerDoneEvent.Set();
    SetReaderState(14);
}

void RunWriter(CommPortContext* context) {
    LineDevice* device = context->device;
    CommPort* slot = context->slot;
    while (!StopOrdered(context)) {
        std::int32_t held;
        {
            LockHold hold(context->gate);
            if (context->cutOff) break;
            held = BytesHeld(Watch(slot->txWrite), slot->txRead, slot->txSize);
        }
        if (held == 0) {
            context->writerWakeEvent.Wait(kWriterIdleWaitMs);
            if (StopOrdered(context)) break;
            context->writerWakeEvent.Reset();
        }
        bool oneByOne;
        bool handshake;
        {
            LockHold hold(context->gate);
            if (context->cutOff) break;
            handshake = slot->config.ctsHandshake != 0;
            oneByOne = handshake || slot->config.xonXoff != 0;
            held = BytesHeld(Watch(slot->txWrite), slot->txRead, slot->txSize);
        }
        if (handshake) {
            std::uint32_t status = 0;
            constexpr std::uint32_t kReady = comm::platform::kMsCtsOn | comm::platform::kMsDsrOn;
            if (!device->GetModemStatus(&status) || (status & kReady) != kReady) {
                if (held > 0) comm::platform::SleepMs(kHandshakeRetryMs);
                continue;
            }
        }
        if (StopOrdered(context)) break;
        if (held == 0) {
            context->txEmptyEvent.Set();
            continue;
        }
        std::int32_t chunk;
        {
            LockHold hold(context->gate);
            if (context->cutOff) break;
            chunk = ContiguousHeld(Watch(slot->txWrite), slot->txRead, slot->txSize);
            if (oneByOne) chunk = std::min(chunk, 1);
            std::memcpy(context->writerScratch, slot->txBuffer + slot->txRead,
                        static_cast<std::size_t>(chunk));
        }
        context->writerIoEvent.Reset();
        std::int32_t written = 0;
        int error = device->Write(context->writerScratch, chunk, &written);
        context->writerIoEvent.Set();
        if (error != 0) {
            StoreLastError(context, error);
            break;  // a failed write ends the writer for good; the port stays open
        }
        if (StopOrdered(context)) break;
        bool empty;
        {
            LockHold hold(context->gate);
            if (context->cutOff) break;
            std::int32_t read = slot->txRead + written;
            if (read >= slot->txSize) read -= slot->txSize;
            Publish(slot->txRead, read);
            empty = Watch(slot->txWrite) == read;
        }
        if (empty) context->txEmptyEvent.Set();
    }
    {
        LockHold hold(context->gate);
        if (!context->cutOff) std::atomic_ref(slot->writerDone).store(1);
    }
    context->writerDoneEvent.Set();
}

// Runs a thread body for a thread that was not started by CommOpen: it holds the context too.
template <void (*Body)(CommPortContext*)>
int RunForeign(CommPort* slot) {
    CommPortContext* context = slot->context;
    if (context == nullptr) return COMM_ERR_BAD_HANDLE;
    context->users.fetch_add(1, std::memory_order_relaxed);
    Body(context);
    CommReleaseContext(context);
    return 0;
}

}  // namespace

int CommRunReader(PortHandle handle, CommPortContext* own) {
    SetReaderState(0);
    CommPort* slot = nullptr;
    int result = LookUp(handle, own, &slot);
    if (result != 0) return result;
    if (own == nullptr) return RunForeign<RunReader>(slot);
    own->readerStartedEvent.Set();
    RunReader(own);
    return 0;
}

int CommRunWriter(PortHandle handle, CommPortContext* own) {
    CommPort* slot = nullptr;
    int result = LookUp(handle, own, &slot);
    if (result != 0) return result;
    if (own == nullptr) return RunForeign<RunWriter>(slot);
    own->writerStartedEvent.Set();
    RunWriter(own);
    return 0;
}

int CommReaderThread(PortHandle handle) {
    return CommRunReader(handle, nullptr);
}
int CommWriterThread(PortHandle handle) {
    return CommRunWriter(handle, nullptr);
}

int CommWrite(PortHandle handle, const void* bytes, std::int32_t length) {
    CommPort* slot = nullptr;
    int result = CommFindSlot(&slot, handle);
    if (result != 0) return result;
    if (length < 0) return COMM_ERR_BAD_LENGTH;
    if (length == 0) return 0;
    const auto* source = static_cast<const std::uint8_t*>(bytes);
    std::int32_t queued;
    {
        LockHold hold(*slot->txLock);
        std::int32_t size = slot->txSize;
        std::int32_t write = slot->txWrite;
        std::int32_t free = (Watch(slot->txRead) - write - 1) % size;
        if (free < 0) free += size;
        queued = std::min(length, free);
        std::int32_t first = std::min(queued, size - write);
        std::memcpy(slot->txBuffer + write, source, static_cast<std::size_t>(first));
        write += first;
        if (write == size) write = 0;
        Publish(slot->txWrite, write);
        if (queued > first) {
            std::memcpy(slot->txBuffer, source + first, static_cast<std::size_t>(queued - first));
            Publish(slot->txWrite, queued - first);
        }
    }
    slot->writerWakeEvent->Set();
    return length - queued;
}

int CommRead(PortHandle handle, void* destination, std::int32_t length) {
    CommPort* slot = nullptr;
    int result = CommFindSlot(&slot, handle);
    if (result != 0) return result;
    if (length < 0) return COMM_ERR_BAD_LENGTH;
    auto* target = static_cast<std::uint8_t*>(destination);
    std::int32_t copied = 0;
    LockHold hold(*slot->rxLock);
    while (copied < length) {
        std::int32_t read = slot->rxRead;
        std::int32_t write = Watch(slot->rxWrite);
        if (read == write) break;
        std::int32_t chunk = std::min(ContiguousHeld(write, read, slot->rxSize), length - copied);
        std::memcpy(target + copied, slot->rxBuffer + read, static_cast<std::size_t>(chunk));
        copied += chunk;
        read += chunk;
        if (read == slot->rxSize) read = 0;
        Publish(slot->rxRead, read);
    }
    if (copied > 0 && slot->context->readerWantsRoom.load()) slot->context->rxRoomEvent.Set();
    return copied;
}

int CommBytesAvailable(PortHandle handle) {
    CommPort* slot = nullptr;
    int result = CommFindSlot(&slot, handle);
    if (result != 0) return result;
    LockHold hold(*slot->rxLock);
    return BytesHeld(Watch(slot->rxWrite), slot->rxRead, slot->rxSize);
}
