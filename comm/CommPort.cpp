// Opening a port, its line settings, and closing it.
#include <atomic>
#include <cstdio>

#include "comm/CommInternal.h"
#include "comm/CommContext.h"

using comm::platform::LineDevice;
using comm::platform::LineProperties;
using comm::platform::LineState;
using comm::platform::LineTimeouts;

namespace {

constexpr std::uint32_t kStartWaitMs = 10000;
constexpr std::uint32_t kStopWaitMs = 1000;
constexpr const char* kNoticeCaption = "Comms Error";

// Speeds accepted from a device without a free speed setting.
constexpr std::uint32_t kFixedSpeeds[] = {300,   600,   1200,  2400,   4800,   9600,  14400,
                                          19200, 38400, 57600, 115200, 128000, 256000};

void ReaderEntry(void* argument) {
    auto* context = static_cast<CommPortContext*>(argument);
    context->readerExitCode.store(CommRunReader(context->handle, context));
    CommReleaseContext(context);
}

void WriterEntry(void* argument) {
    auto* context = static_cast<CommPortContext*>(argument);
    context->writerExitCode.store(CommRunWriter(context->handle, context));
    CommReleaseContext(context);
}

// Orders the threads to stop and wakes them from every wait.
void OrderStop(CommPortContext* context, LineDevice* device) {
    context->stopOrdered.store(true, std::memory_order_release);
    if (device != nullptr) {
        device->SetEventMask(0);
        device->SetEventMask(comm::platform::kEvAll);
        device->CancelWaits();
    }
    context->writerWakeEvent.Set();
}

void CutOff(CommPortContext* context) {
    comm::platform::LockHold hold(context->gate);
    context->cutOff = true;
}

// How far a speed outside the standard list may come back from a driver that rounds it to what
// its clock divides down to (FTDI and CP210x adapters stay within 3 %); a standard speed must
// come back exactly.
constexpr std::uint32_t kSpeedRoundingPercent = 3;

bool StandardSpeed(std::uint32_t speed) {
    for (std::uint32_t standard : kFixedSpeeds) {
        if (standard == speed) return true;
    }
    return speed == 230400 || speed == 460800 || speed == 921600;
}

// Whether the line holds what the wizard set and what matters on the wire: the speed, the data
// bits, the parity, the stop bits and the flow control asked for. A driver reports every other
// field (and may round a custom speed) as it likes; comparing those would refuse a working
// USB-serial adapter.
bool HoldsLine(const LineState& held, const LineState& asked) {
    const std::uint32_t difference = held.BaudRate > asked.BaudRate
                                         ? held.BaudRate - asked.BaudRate
                                         : asked.BaudRate - held.BaudRate;
    const bool speedHeld = StandardSpeed(asked.BaudRate)
                               ? difference == 0
                               : std::uint64_t{difference} * 100 <=
                                     std::uint64_t{asked.BaudRate} * kSpeedRoundingPercent;
    return speedHeld && held.ByteSize == asked.ByteSize && held.Parity == asked.Parity &&
           held.StopBits == asked.StopBits && held.fOutxCtsFlow == asked.fOutxCtsFlow &&
           held.fOutxDsrFlow == asked.fOutxDsrFlow && held.fOutX == asked.fOutX &&
           held.fInX == asked.fInX;
}

int UndoOpen(CommPort* slot, CommPortContext* context, int result) {
    LineDevice* device = context->device;
    OrderStop(context, device);
    CutOff(context);
    slot->lineHandle = COMM_INVALID_LINE;
    if (device != nullptr) device->Close();
    CommReleaseContext(context);
    CommFreeSlot(slot->handle);
    return result;
}

}  // namespace

namespace {

char gOpenFailure[320];  // CommOpen's last failure, for the operator; UI thread only

// Notes why CommOpen failed with `result` on COM `port`, then returns `result`.
int OpenFailed(std::int32_t port, int result) {
    char device[192];
    comm::platform::PortDeviceName(port, device, sizeof device);
    const char* why = "";
    switch (result) {
        case COMM_ERR_OPEN_FAILED:
            why = comm::platform::LastOpenFailure();
            if (*why == '\0') why = "cannot be opened";
            break;
        case COMM_ERR_BAD_BAUD:
            why = "the speed or the number of data bits is not one the port takes";
            break;
        case COMM_ERR_BAD_PARITY:
        case COMM_ERR_BAD_STOPBITS:
            why = "the parity or the stop bits are not valid";
            break;
        case COMM_ERR_SETUP_FAILED:
            why = "the port does not hold these line settings";
            break;
        case COMM_ERR_RESOURCE:
            why = "the port's threads or events could not be made";
            break;
        default:
            gOpenFailure[0] = '\0';
            return result;
    }
    std::snprintf(gOpenFailure, sizeof gOpenFailure, "%s: %s", device, why);
    return result;
}

}  // namespace

int OpenPort(PortHandle* handle, const CommPortConfig* config);

const char* CommOpenFailure() {
    return gOpenFailure;
}

void CommPortDevice(std::int32_t port, char* name, std::size_t size) {
    comm::platform::PortDeviceName(port, name, size);
}

void CommSetNoticeHook(CommNoticeHook hook) {
    comm::platform::SetNoticeFunction(hook);
}

int CommClaimPort(std::int32_t port) {
    if (!comm::platform::ClaimPort(port, false)) return OpenFailed(port, COMM_ERR_OPEN_FAILED);
    gOpenFailure[0] = '\0';
    return 0;
}

void CommReleasePort(std::int32_t port) {
    comm::platform::LetGoOfPort(port);
}

int CommOpen(PortHandle* handle, const CommPortConfig* config) {
    const int result = OpenPort(handle, config);
    if (result != 0) return OpenFailed(config->port, result);
    gOpenFailure[0] = '\0';
    return 0;
}

// CommOpen's steps; CommOpen notes why they failed.
int OpenPort(PortHandle* handle, const CommPortConfig* config) {
    *handle = 0;
    if (CommStartCount == 0) return COMM_ERR_NOT_STARTED;
    CommPort* slot = nullptr;
    if (CommAllocSlot(&slot) != 0) return COMM_ERR_NO_SLOT;

    CommPortContext* context = CommAcquireContext();
    if (context == nullptr) {
        CommFreeSlot(slot->handle);
        return COMM_ERR_RESOURCE;
    }
    slot->context = context;
    context->slot = slot;
    context->handle = slot->handle;
    slot->rxLock = &context->rxLock;
    slot->txLock = &context->txLock;
    slot->readerStartedEvent = &context->readerStartedEvent;
    slot->writerStartedEvent = &context->writerStartedEvent;
    slot->readerIoEvent = &context->readerIoEvent;
    slot->writerIoEvent = &context->writerIoEvent;
    slot->rxDataEvent = &context->rxDataEvent;
    slot->writerWakeEvent = &context->writerWakeEvent;
    slot->txEmptyEvent = &context->txEmptyEvent;
    slot->readerDoneEvent = &context->readerDoneEvent;
    slot->writerDoneEvent = &context->writerDoneEvent;

    LineDevice* device = comm::platform::OpenLineDevice(config->port, context->deviceStorage);
    if (device == nullptr) return UndoOpen(slot, context, COMM_ERR_OPEN_FAILED);
    context->device = device;
    slot->lineHandle = device;

    int result = CommSetLine(slot->handle, config);
    if (result < 0) return UndoOpen(slot, context, result);

    // The done flags are cleared before each thread starts, so an early end is never lost.
    std::atomic_ref(slot->writerDone).store(0);
    context->users.fetch_add(1, std::memory_order_relaxed);
    if (!context->writerThread.Start(&WriterEntry, context, false)) {
        context->users.fetch_sub(1, std::memory_order_relaxed);
        return UndoOpen(slot, context, COMM_ERR_RESOURCE);
    }
    slot->writerThread = &context->writerThread;
    std::atomic_ref(slot->readerDone).store(0);
    context->users.fetch_add(1, std::memory_order_relaxed);
    if (!context->readerThread.Start(&ReaderEntry, context, true)) {
        context->users.fetch_sub(1, std::memory_order_relaxed);
        return UndoOpen(slot, context, COMM_ERR_RESOURCE);
    }
    slot->readerThread = &context->readerThread;

    if (!context->readerStartedEvent.Wait(kStartWaitMs) ||
        !context->writerStartedEvent.Wait(kStartWaitMs)) {
        return UndoOpen(slot, context, COMM_ERR_RESOURCE);
    }
    *handle = slot->handle;
    return 0;
}

int CommSetLine(PortHandle handle, const CommPortConfig* config) {
    CommPort* slot = nullptr;
    int result = CommFindSlot(&slot, handle);
    if (result != 0) return result;
    LineDevice* device = slot->lineHandle;
    if (device == COMM_INVALID_LINE) return COMM_ERR_SETUP_FAILED;

    LineProperties properties{};
    (void)device->GetProperties(&properties);
    // When the device cannot report its state, the settings are built on an all-zero record.
    LineState state{};
    state.DCBlength = sizeof(LineState);
    const bool hadState = device->GetState(&state);
    state.DCBlength = sizeof(LineState);
    const LineState previous = state;

    state.fBinary = 1;
    state.fParity = 1;
    state.fTXContinueOnXoff = 1;
    state.fDtrControl = comm::platform::kDtrControlEnable;
    state.fRtsControl = comm::platform::kRtsControlEnable;
    state.fErrorChar = 0;
    state.fNull = 0;
    state.fAbortOnError = 0;

    if ((properties.dwSettableBaud & comm::platform::kBaudUser) != 0) {
        state.BaudRate = config->baud;
    } else if (config->baud == 0) {
        state.BaudRate = 9600;
    } else {
        bool listed = false;
        for (std::uint32_t speed : kFixedSpeeds) listed = listed || speed == config->baud;
        if (!listed) return COMM_ERR_BAD_BAUD;
        state.BaudRate = config->baud;
    }

    if (config->dataBits == 0) {
        state.ByteSize = 8;
    } else if (config->dataBits >= 4 && config->dataBits <= 8) {
        state.ByteSize = config->dataBits;
    } else {
        return COMM_ERR_BAD_BAUD;
    }

    switch (config->parity) {
        case 0:
        case 1:
            state.Parity = comm::platform::kNoParity;
            break;
        case 2:
            state.Parity = comm::platform::kOddParity;
            break;
        case 3:
            state.Parity = comm::platform::kEvenParity;
            break;
        case 4:
            state.Parity = comm::platform::kMarkParity;
            break;
        case 5:
            state.Parity = comm::platform::kSpaceParity;
            break;
        default:
            return COMM_ERR_BAD_PARITY;
    }

    switch (config->stopBits) {
        case 0:
        case 1:
            state.StopBits = comm::platform::kOneStopBit;
            break;
        case 2:
            state.StopBits = comm::platform::kOne5StopBits;
            break;
        case 3:
            state.StopBits = comm::platform::kTwoStopBits;
            break;
        default:
            return COMM_ERR_BAD_STOPBITS;
    }

    state.fOutX = config->xonXoff == 1 ? 1 : 0;
    state.fInX = config->xonXoff == 1 ? 1 : 0;
    state.fDsrSensitivity = config->dsrHandshake == 1 ? 1 : 0;
    state.fOutxDsrFlow = config->dsrHandshake == 1 ? 1 : 0;
    state.fOutxCtsFlow = config->ctsHandshake == 1 ? 1 : 0;

    if (!device->SetState(state)) return COMM_ERR_SETUP_FAILED;
    // A driver may take a state and apply only part of it (a pseudo-terminal keeps 8 data bits and
    // no parity; some UARTs drop mark and space parity). A line that does not hold what was asked
    // is refused like one that said no, and gets back what it had.
    LineState held = state;
    if (device->GetState(&held) && !HoldsLine(held, state)) {
        if (hadState) (void)device->SetState(previous);
        return COMM_ERR_SETUP_FAILED;
    }

    {
        // The writer reads the handshake flags and both threads write lastError under the gate.
        comm::platform::LockHold hold(slot->context->gate);
        slot->config = *config;
    }

    LineTimeouts timeouts{};
    (void)device->GetTimeouts(&timeouts);
    timeouts.ReadIntervalTimeout = comm::platform::kMaxDword;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!device->SetTimeouts(timeouts)) return COMM_ERR_SETUP_FAILED;
    return 0;
}

int CommClose(PortHandle handle) {
    CommPort* slot = nullptr;
    int result = CommFindSlot(&slot, handle);
    if (result != 0) return result;
    CommPortContext* context = slot->context;
    // A slot taken by CommAllocSlot alone has nothing to stop.
    if (context == nullptr) return CommFreeSlot(handle);
    LineDevice* device = slot->lineHandle;
    slot->lineHandle = COMM_INVALID_LINE;
    OrderStop(context, device);

    if (std::atomic_ref(slot->readerDone).load() == 0) {
        if (!slot->readerDoneEvent->Wait(kStopWaitMs)) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "Read thread event timeout!\n\nCurrent thread state = %d",
                          static_cast<int>(std::atomic_ref(CommReaderState).load()));
            comm::platform::ShowNotice(kNoticeCaption, text);
        }
        if (std::atomic_ref(slot->readerDone).load() == 0)
            comm::platform::ShowNotice(kNoticeCaption, "Read thread not terminated!");
    }
    if (std::atomic_ref(slot->writerDone).load() == 0) {
        if (!slot->writerDoneEvent->Wait(kStopWaitMs))
            comm::platform::ShowNotice(kNoticeCaption, "Write thread event timeout!");
        if (std::atomic_ref(slot->writerDone).load() == 0)
            comm::platform::ShowNotice(kNoticeCaption, "Write thread not terminated!");
    }

    CutOff(context);
    if (device != nullptr) device->Close();
    CommReleaseContext(context);
    return CommFreeSlot(handle);
}
