// COM ports on Windows: the device "\\.\COM<n>", opened without sharing for overlapped I/O.
//
// Every transfer and every wait for a line event is an overlapped operation with a completion
// event of its own, waited on together with the device's cancel event, so that CancelWaits and
// Close end each wait promptly. An operation is always finished (completed, or cancelled and
// collected) before the call that started it returns: its OVERLAPPED record and its buffer
// belong to the caller's thread and must not be written to after it has moved on.
//
// Two things the serial drivers do not all do, and how this device copes (also under Wine,
// where COM ports are pseudo-terminals):
// - Line events: WaitCommEvent fails, or never signals, on a driver that cannot report the
//   modem lines (GetCommModemStatus fails; under Wine a pseudo-terminal has no modem lines). The
//   device then watches ClearCommError's input count every kPollIntervalMs instead, for as long
//   as it is open.
// - Reads: the engine's "return at once" time-outs (ReadIntervalTimeout = MAXDWORD, both totals
//   0) make an overlapped ReadFile wait for the next byte under Wine 8 when none is waiting. So
//   a read asks only for the bytes ClearCommError reports waiting, and none at all when there
//   are none: it never has to be cancelled.
#include "comm/platform/LineDevice.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace comm::platform {

namespace {

// How often a device without line events looks at its input count.
constexpr DWORD kPollIntervalMs = 10;
// After a failed read, how long the next wait holds back before it reports input again: a line
// that has gone away may keep reporting bytes that can never be read.
constexpr DWORD kFailedReadPauseMs = 200;
// How often a wait that is being ended is nudged again until its operation has completed.
constexpr DWORD kEndNudgeMs = 200;

static_assert(sizeof(DCB) == sizeof(LineState), "LineState keeps the DCB's layout");
static_assert(offsetof(DCB, BaudRate) == offsetof(LineState, BaudRate));
static_assert(offsetof(DCB, XonLim) == offsetof(LineState, XonLim));
static_assert(offsetof(DCB, ByteSize) == offsetof(LineState, ByteSize));
static_assert(offsetof(DCB, EvtChar) == offsetof(LineState, EvtChar));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(LineTimeouts));
// The engine's flags are the system's.
static_assert(kBaudUser == BAUD_USER && kEvRxChar == EV_RXCHAR && kEvRlsd == EV_RLSD &&
              kMaxDword == MAXDWORD);
static_assert(kMsCtsOn == MS_CTS_ON && kMsDsrOn == MS_DSR_ON && kMsRingOn == MS_RING_ON &&
              kMsRlsdOn == MS_RLSD_ON);

// Error codes are never 0 when something failed; a driver that forgets to say why still fails.
int ErrorCode(DWORD error) {
    return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
}

class Win32LineDevice final : public LineDevice {
  public:
    struct Events {
        HANDLE cancel;       // raised by CancelWaits and Close, never lowered
        HANDLE maskChanged;  // raised by SetEventMask; ends a wait of the polling kind
        HANDLE waitDone;     // completion of the reader's WaitCommEvent
        HANDLE readDone;     // completion of the reader's ReadFile
        HANDLE writeDone;    // completion of the writer's WriteFile
    };

    Win32LineDevice(std::int32_t port, HANDLE line, const Events& events)
        : port_(port), line_(line), events_(events) {}

    bool GetProperties(LineProperties* properties) override {
        Call call(*this);
        if (!call.open) return false;
        COMMPROP device{};
        device.wPacketLength = sizeof device;
        if (!GetCommProperties(line_, &device)) return false;
        properties->dwSettableBaud = device.dwSettableBaud;
        return true;
    }

    bool GetState(LineState* state) override {
        Call call(*this);
        if (!call.open) return false;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(line_, &dcb)) return false;
        std::memcpy(state, &dcb, sizeof dcb);
        return true;
    }

    bool SetState(const LineState& state) override {
        Call call(*this);
        if (!call.open) return false;
        DCB dcb;
        std::memcpy(&dcb, &state, sizeof dcb);
        return SetCommState(line_, &dcb) != 0;
    }

    bool GetTimeouts(LineTimeouts* timeouts) override {
        Call call(*this);
        if (!call.open) return false;
        COMMTIMEOUTS device{};
        if (!GetCommTimeouts(line_, &device)) return false;
        std::memcpy(timeouts, &device, sizeof device);
        return true;
    }

    bool SetTimeouts(const LineTimeouts& timeouts) override {
        Call call(*this);
        if (!call.open) return false;
        COMMTIMEOUTS device;
        std::memcpy(&device, &timeouts, sizeof device);
        return SetCommTimeouts(line_, &device) != 0;
    }

    bool SetEventMask(std::uint32_t mask) override {
        Call call(*this);
        if (!call.open) return false;
        // Counted before the driver hears of it, so that the wait it ends knows why it ended.
        maskChanges_.fetch_add(1);
        mask_.store(mask);
        SetEvent(events_.maskChanged);
        return SetCommMask(line_, mask) != 0;
    }

    // Reader thread only.
    bool WaitEvent(std::uint32_t* events) override {
        *events = 0;
        Call call(*this);
        if (!call.open) return false;
        if (Cancelled()) return true;
        if (pauseBeforeWait_) {
            pauseBeforeWait_ = false;
            if (WaitForSingleObject(events_.cancel, kFailedReadPauseMs) == WAIT_OBJECT_0)
                return true;
        }
        // A change of mask made before this wait is not this wait's business.
        ResetEvent(events_.maskChanged);
        if (!polling_ && !modemLinesChecked_) {
            modemLinesChecked_ = true;
            DWORD status = 0;
            if (!GetCommModemStatus(line_, &status)) polling_ = true;
        }
        if (!polling_) {
            switch (WaitForLineEvent(events)) {
                case WaitEnd::Events:
                case WaitEnd::Ended:
                    return true;
                case WaitEnd::Failed:
                    // The driver cannot wait for line events: watch the input count from now on.
                    polling_ = true;
                    break;
            }
        }
        return PollForInput(events);
    }

    // Reader thread only.
    int Read(void* destination, std::int32_t maxBytes, std::int32_t* got) override {
        *got = 0;
        Call call(*this);
        if (!call.open) return ERROR_INVALID_HANDLE;
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(line_, &errors, &status)) return ReadFailed(GetLastError());
        const DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(maxBytes));
        if (wanted == 0) return 0;
        DWORD count = 0;
        const DWORD error =
            Transfer(events_.readDone, &readRecord_, &count, [&](OVERLAPPED* record) {
                return ReadFile(line_, destination, wanted, nullptr, record);
            });
        *got = static_cast<std::int32_t>(count);
        return error == 0 ? 0 : ReadFailed(error);
    }

    // Writer thread only. The write time-outs bound a pending write; a write may also complete
    // at once.
    int Write(const void* bytes, std::int32_t length, std::int32_t* written) override {
        *written = 0;
        Call call(*this);
        if (!call.open) return ERROR_INVALID_HANDLE;
        DWORD count = 0;
        const DWORD error =
            Transfer(events_.writeDone, &writeRecord_, &count, [&](OVERLAPPED* record) {
                return WriteFile(line_, bytes, static_cast<DWORD>(length), nullptr, record);
            });
        *written = static_cast<std::int32_t>(count);
        return error == 0 ? 0 : ErrorCode(error);
    }

    bool GetModemStatus(std::uint32_t* status) override {
        *status = 0;
        Call call(*this);
        if (!call.open) return false;
        DWORD lines = 0;
        if (!GetCommModemStatus(line_, &lines)) return false;
        *status = lines;
        return true;
    }

    void CancelWaits() override { SetEvent(events_.cancel); }

    void Close() override {
        if (closed_.exchange(true)) return;
        PortClosed(port_);  // the claim stays, for the flasher that comes next
        SetEvent(events_.cancel);
        // A call still under way lets go of the line as it leaves (see Call).
        if (callsUnderWay_.load() == 0) CloseLine();
    }

    void Release() override {
        Close();
        for (HANDLE event : {events_.cancel, events_.maskChanged, events_.waitDone,
                             events_.readDone, events_.writeDone}) {
            CloseHandle(event);
        }
        this->~Win32LineDevice();
    }

  private:
    enum class WaitEnd { Events, Ended, Failed };

    // One call on the line. The line handle is closed only when no call is under way, so a
    // thread still inside a call never meets a closed handle, nor one that the system has
    // handed out again for another file.
    struct Call {
        explicit Call(Win32LineDevice& owner) : device(owner) {
            device.callsUnderWay_.fetch_add(1);
            open = !device.closed_.load();
        }
        ~Call() {
            if (device.callsUnderWay_.fetch_sub(1) == 1 && device.closed_.load())
                device.CloseLine();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        Win32LineDevice& device;
        bool open;
    };

    void CloseLine() {
        if (!lineClosed_.exchange(true)) CloseHandle(line_);
    }

    bool Cancelled() const { return WaitForSingleObject(events_.cancel, 0) == WAIT_OBJECT_0; }

    int ReadFailed(DWORD error) {
        pauseBeforeWait_ = true;
        return ErrorCode(error);
    }

    // Starts one overlapped transfer and sees it to its end. Returns 0 with the bytes moved, or
    // the platform's error. A transfer cut short by CancelWaits or Close counts what it moved.
    template <typename Start>
    DWORD Transfer(HANDLE done, OVERLAPPED* record, DWORD* count, Start start) {
        *count = 0;
        ResetEvent(done);
        *record = OVERLAPPED{};
        record->hEvent = done;
        bool cancelled = false;
        if (!start(record)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return error;
            HANDLE either[2] = {done, events_.cancel};
            if (WaitForMultipleObjects(2, either, FALSE, INFINITE) != WAIT_OBJECT_0) {
                cancelled = true;
                EndPending(done, [this] { CancelIo(line_); });
            }
        }
        if (GetOverlappedResult(line_, record, count, TRUE)) return 0;
        const DWORD error = GetLastError();
        // Cut short by CancelWaits or Close: what went out counts. (A write that the time-outs
        // cut short completes, with fewer bytes.)
        return cancelled && error == ERROR_OPERATION_ABORTED ? 0 : error;
    }

    // Ends a pending operation and waits until it has completed, nudging it again now and then.
    template <typename Nudge>
    void EndPending(HANDLE done, Nudge nudge) {
        nudge();
        while (WaitForSingleObject(done, kEndNudgeMs) == WAIT_TIMEOUT) nudge();
    }

    // One WaitCommEvent. Under Wine a wait that a change of mask ends fails with
    // ERROR_OPERATION_ABORTED where Windows reports it done with no events: both are the end of
    // the wait, not a failure of the driver.
    WaitEnd WaitForLineEvent(std::uint32_t* events) {
        const std::uint64_t changes = maskChanges_.load();
        ResetEvent(events_.waitDone);
        waitRecord_ = OVERLAPPED{};
        waitRecord_.hEvent = events_.waitDone;
        waitEvents_ = 0;
        bool cancelled = false;
        if (!WaitCommEvent(line_, &waitEvents_, &waitRecord_)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return maskChanges_.load() != changes ? WaitEnd::Ended : WaitEnd::Failed;
            HANDLE either[2] = {events_.waitDone, events_.cancel};
            if (WaitForMultipleObjects(2, either, FALSE, INFINITE) != WAIT_OBJECT_0) {
                cancelled = true;
                // CancelIo does not end a pending WaitCommEvent under Wine; a change of the
                // event mask does, on Windows too.
                EndPending(events_.waitDone, [this] {
                    SetCommMask(line_, EV_RXCHAR);
                    SetCommMask(line_, 0);
                    CancelIo(line_);
                });
            }
        }
        DWORD ignored = 0;
        if (GetOverlappedResult(line_, &waitRecord_, &ignored, TRUE)) {
            *events = cancelled ? 0 : waitEvents_;
            return WaitEnd::Events;
        }
        return cancelled || maskChanges_.load() != changes ? WaitEnd::Ended : WaitEnd::Failed;
    }

    // Watches the input count until bytes wait (kEvRxChar, when the mask has it), the mask
    // changes, or the waits are cancelled. False when the count cannot be read: a line that has
    // gone away. The engine then pauses before it looks again.
    bool PollForInput(std::uint32_t* events) {
        HANDLE either[2] = {events_.cancel, events_.maskChanged};
        for (;;) {
            COMSTAT status{};
            DWORD errors = 0;
            if (!ClearCommError(line_, &errors, &status)) return false;
            if (status.cbInQue > 0 && (mask_.load() & kEvRxChar) != 0) {
                *events = kEvRxChar;
                return true;
            }
            const DWORD woken = WaitForMultipleObjects(2, either, FALSE, kPollIntervalMs);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_OBJECT_0 + 1) return true;
            if (woken != WAIT_TIMEOUT) return false;
        }
    }

    std::int32_t port_;
    HANDLE line_;  // closed once closed_ is set and no call is under way
    Events events_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> lineClosed_{false};
    std::atomic<int> callsUnderWay_{0};
    std::atomic<std::uint32_t> mask_{0};
    std::atomic<std::uint64_t> maskChanges_{0};  // counts SetEventMask calls

    // The reader's.
    bool polling_ = false;            // no line events from this driver: watch the input count
    bool modemLinesChecked_ = false;  // asked once, at the first wait
    bool pauseBeforeWait_ = false;    // the last read failed
    OVERLAPPED waitRecord_{};
    DWORD waitEvents_ = 0;  // WaitCommEvent's result, written when the wait completes
    OVERLAPPED readRecord_{};

    // The writer's.
    OVERLAPPED writeRecord_{};
};

static_assert(sizeof(Win32LineDevice) <= kLineDeviceStorageSize);

}  // namespace

namespace {

thread_local char tLastOpenFailure[192];

void NoteOpenFailure(DWORD error) {
    // A port opened without sharing refuses everyone else with ERROR_ACCESS_DENIED.
    if (error == ERROR_ACCESS_DENIED) {
        std::snprintf(tLastOpenFailure, sizeof tLastOpenFailure, "in use by another program");
        return;
    }
    char text[sizeof tLastOpenFailure] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text, nullptr) == 0) {
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(error));
    }
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
    std::snprintf(tLastOpenFailure, sizeof tLastOpenFailure, "%s", text);
}

}  // namespace

void PortDeviceName(std::int32_t port, char* name, std::size_t size) {
    std::snprintf(name, size, "\\\\.\\COM%d", static_cast<int>(port));
}

const char* LastOpenFailure() {
    return tLastOpenFailure;
}

LineDevice* OpenPlatformLineDevice(std::int32_t port, void* storage) {
    char name[32];
    PortDeviceName(port, name, sizeof name);
    if (!ClaimPort(port, true)) {
        NoteOpenFailure(GetLastError());
        return nullptr;
    }
    HANDLE line = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (line == INVALID_HANDLE_VALUE) {
        NoteOpenFailure(GetLastError());
        PortClosed(port);
        LetGoOfPort(port);
        return nullptr;
    }
    // A port starts with empty driver buffers, as Windows' own serial driver opens it; under
    // Wine the port is a pseudo-terminal that keeps what an earlier user left in it.
    (void)PurgeComm(line, PURGE_RXCLEAR | PURGE_TXCLEAR);

    HANDLE made[5] = {};
    for (HANDLE& event : made) {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (event != nullptr) continue;
        NoteOpenFailure(GetLastError());
        for (HANDLE done : made) {
            if (done != nullptr) CloseHandle(done);
        }
        CloseHandle(line);
        PortClosed(port);
        return nullptr;
    }
    return new (storage) Win32LineDevice(port, line, {made[0], made[1], made[2], made[3], made[4]});
}

}  // namespace comm::platform
