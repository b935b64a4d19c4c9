// A line device under the test's control, for what a pseudo-terminal cannot show: modem lines,
// a free speed setting, refused line states, failing reads and writes, waits that hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "comm/platform/LineDevice.h"

namespace commtest {

using comm::platform::LineDevice;
using comm::platform::LineProperties;
using comm::platform::LineState;
using comm::platform::LineTimeouts;

class FakeLine final : public LineDevice {
  public:
    FakeLine() = default;
    // The engine's threads may still hold a device that was handed out: wait for its release.
    ~FakeLine() {
        std::unique_lock hold(mutex_);
        if (handedOut_) changed_.wait(hold, [this] { return released_; });
    }
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    // Set before the port is opened (the engine only reads them on the opening thread).
    std::uint32_t settableBaud = 0x0002 | 0x0100 | 0x1000;  // some fixed speeds, no kBaudUser
    bool stateReadable = true;
    LineState reported{};  // what GetState yields
    bool refuseState = false;
    void (*drops)(LineState&) = nullptr;  // what the "driver" silently leaves out of a state
    bool refuseTimeouts = false;
    bool refuseOpen = false;

    // Seen by the test after the opening thread has returned.
    std::vector<LineState> statesSet;
    LineTimeouts timeoutsSet{};
    int timeoutsSetCount = 0;

    bool GetProperties(LineProperties* properties) override {
        properties->dwSettableBaud = settableBaud;
        return true;
    }
    bool GetState(LineState* state) override {
        if (!stateReadable) return false;
        *state = reported;
        return true;
    }
    // Like a driver: takes the state (less what `drops` takes away) and reports it from then on.
    bool SetState(const LineState& state) override {
        if (refuseState) return false;
        statesSet.push_back(state);
        reported = state;
        if (drops) drops(reported);
        return true;
    }
    bool GetTimeouts(LineTimeouts* timeouts) override {
        *timeouts = LineTimeouts{1, 2, 3, 4, 5};
        return true;
    }
    bool SetTimeouts(const LineTimeouts& timeouts) override {
        if (refuseTimeouts) return false;
        timeoutsSet = timeouts;
        ++timeoutsSetCount;
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard hold(mutex_);
        mask_ = mask;
        masks_.push_back(mask);
        ++maskChanges_;
        changed_.notify_all();
        return true;
    }
    bool WaitEvent(std::uint32_t* events) override {
        std::unique_lock hold(mutex_);
        ++waits_;
        changed_.notify_all();
        *events = 0;
        if (hangWaits_) {
            // Deaf to mask changes and cancelling: only the test ends this wait.
            ++hungWaits_;
            changed_.notify_all();
            changed_.wait(hold, [this] { return !hangWaits_; });
            *events = comm::platform::kEvRxChar;
            return true;
        }
        std::uint64_t changes = maskChanges_;
        changed_.wait(
            hold, [&] { return (pending_ & mask_) != 0 || maskChanges_ != changes || cancelled_; });
        *events = pending_ & mask_;
        pending_ = 0;
        return true;
    }

    int Read(void* destination, std::int32_t maxBytes, std::int32_t* got) override {
        std::unique_lock hold(mutex_);
        ++reads_;
        changed_.notify_all();
        *got = 0;
        if (hangReads_) {
            ++hungReads_;
            changed_.notify_all();
            changed_.wait(hold, [this] { return !hangReads_; });
        }
        if (readError_ != 0) {
            int error = readError_;
            readError_ = 0;
            return error;
        }
        auto* target = static_cast<std::uint8_t*>(destination);
        while (*got < maxBytes && !incoming_.empty()) {
            target[(*got)++] = incoming_.front();
            incoming_.pop_front();
        }
        return 0;
    }
    int Write(const void* bytes, std::int32_t length, std::int32_t* written) override {
        std::unique_lock hold(mutex_);
        *written = 0;
        ++writeCalls_;
        changed_.notify_all();
        if (hangWrites_) {
            ++hungWrites_;
            changed_.notify_all();
            changed_.wait(hold, [this] { return !hangWrites_; });
        }
        if (writeError_ != 0) return writeError_;
        const auto* source = static_cast<const std::uint8_t*>(bytes);
        sent_.insert(sent_.end(), source, source + length);
        writeSizes_.push_back(length);
        changed_.notify_all();
        *written = length;
        return 0;
    }
    bool GetModemStatus(std::uint32_t* status) override {
        std::lock_guard hold(mutex_);
        ++modemPolls_;
        changed_.notify_all();
        *status = modem_;
        return modemReadable_;
    }

    void CancelWaits() override {
        std::lock_guard hold(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    void Close() override {
        std::lock_guard hold(mutex_);
        closed_ = true;
        cancelled_ = true;
        changed_.notify_all();
    }
    void Release() override {
        std::lock_guard hold(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    // The test's side.
    void Receive(const std::vector<std::uint8_t>& bytes,
                 std::uint32_t events = comm::platform::kEvRxChar) {
        std::lock_guard hold(mutex_);
        incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
        pending_ |= events;
        changed_.notify_all();
    }
    void Signal(std::uint32_t events) { Receive({}, events); }
    void FailNextRead(int error) {
        std::lock_guard hold(mutex_);
        readError_ = error;
    }
    void FailWrites(int error) {
        std::lock_guard hold(mutex_);
        writeError_ = error;
    }
    void SetModem(std::uint32_t status, bool readable = true) {
        std::lock_guard hold(mutex_);
        modem_ = status;
        modemReadable_ = readable;
    }
    void HangWaits(bool hang) {
        std::lock_guard hold(mutex_);
        hangWaits_ = hang;
        changed_.notify_all();
    }

    void HangWrites(bool hang) {
        std::lock_guard hold(mutex_);
        hangWrites_ = hang;
        changed_.notify_all();
    }
    void HangReads(bool hang) {
        std::lock_guard hold(mutex_);
        hangReads_ = hang;
        changed_.notify_all();
    }

    template <typename T>
    T Get(T FakeLine::*member) {
        std::lock_guard hold(mutex_);
        return this->*member;
    }
    // Waits (generously) until `condition` holds under the fake's lock.
    template <typename Condition>
    bool WaitFor(Condition condition) {
        std::unique_lock hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(20), [&] { return condition(*this); });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint32_t mask_ = 0;
    std::vector<std::uint32_t> masks_;
    std::uint64_t maskChanges_ = 0;
    std::uint32_t pending_ = 0;
    std::deque<std::uint8_t> incoming_;
    std::vector<std::uint8_t> sent_;
    std::vector<std::int32_t> writeSizes_;
    int readError_ = 0;
    int writeError_ = 0;
    std::uint32_t modem_ = 0;
    bool modemReadable_ = true;
    bool hangWaits_ = false;
    bool hangReads_ = false;
    bool hangWrites_ = false;
    int hungWrites_ = 0;
    int hungReads_ = 0;
    bool cancelled_ = false;
    bool closed_ = false;
    bool released_ = false;
    bool handedOut_ = false;
    int waits_ = 0;
    int hungWaits_ = 0;
    int reads_ = 0;
    int writeCalls_ = 0;
    int modemPolls_ = 0;
};

// Makes CommOpen hand out `line` (nullptr: the device fails to open) until the guard ends.
class UseFakeLine {
  public:
    explicit UseFakeLine(FakeLine* line) {
        Current() = line;
        comm::platform::SetLineDeviceFactory(&Open);
    }
    ~UseFakeLine() { comm::platform::SetLineDeviceFactory(nullptr); }
    static void Next(FakeLine* line) { Current() = line; }

  private:
    static FakeLine*& Current() {
        static FakeLine* current = nullptr;
        return current;
    }
    static LineDevice* Open(std::int32_t, void*) {
        FakeLine* line = Current();
        if (line == nullptr || line->refuseOpen) return nullptr;
        std::lock_guard hold(line->mutex_);
        line->handedOut_ = true;
        return line;
    }
};

// The platform's own device with its calls counted, to see how often the threads come round.
class CountingLine final : public LineDevice {
  public:
    explicit CountingLine(LineDevice* inner) : inner_(inner) {}
    bool GetProperties(LineProperties* properties) override {
        return inner_->GetProperties(properties);
    }
    bool GetState(LineState* state) override { return inner_->GetState(state); }
    bool SetState(const LineState& state) override { return inner_->SetState(state); }
    bool GetTimeouts(LineTimeouts* timeouts) override { return inner_->GetTimeouts(timeouts); }
    bool SetTimeouts(const LineTimeouts& timeouts) override {
        return inner_->SetTimeouts(timeouts);
    }
    bool SetEventMask(std::uint32_t mask) override { return inner_->SetEventMask(mask); }
    bool WaitEvent(std::uint32_t* events) override {
        ++waits;
        return inner_->WaitEvent(events);
    }
    int Read(void* destination, std::int32_t maxBytes, std::int32_t* got) override {
        ++reads;
        return inner_->Read(destination, maxBytes, got);
    }
    int Write(const void* bytes, std::int32_t length, std::int32_t* written) override {
        ++writes;
        return inner_->Write(bytes, length, written);
    }
    bool GetModemStatus(std::uint32_t* status) override { return inner_->GetModemStatus(status); }
    void CancelWaits() override { inner_->CancelWaits(); }
    void Close() override { inner_->Close(); }
    void Release() override {
        inner_->Release();
        released = true;
    }

    std::atomic<int> waits{0};
    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::atomic<bool> released{false};

  private:
    LineDevice* inner_;
};

// Makes CommOpen hand out the platform's device wrapped in `line` until the guard ends.
class UseCountingLine {
  public:
    explicit UseCountingLine(std::atomic<CountingLine*>* made) {
        Made() = made;
        comm::platform::SetLineDeviceFactory(&Open);
    }
    ~UseCountingLine() { comm::platform::SetLineDeviceFactory(nullptr); }

  private:
    static std::atomic<CountingLine*>*& Made() {
        static std::atomic<CountingLine*>* made = nullptr;
        return made;
    }
    static LineDevice* Open(std::int32_t port, void* storage) {
        LineDevice* inner = comm::platform::OpenPlatformLineDevice(port, storage);
        if (inner == nullptr) return nullptr;
        auto* line = new CountingLine(inner);
        Made()->store(line);
        return line;
    }
};

}  // namespace commtest
