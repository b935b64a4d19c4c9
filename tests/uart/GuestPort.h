// What the engine checks inside the QEMU guests share: the engine's notices, a tally of
// failures, printable quoting, and one open port of the engine with a peer behind it that
// answers requests line by line (tests/uart/UartWire.h).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/Comm.h"
#include "tests/uart/UartWire.h"

namespace guestport {

// Generous: the guest runs under software emulation on a loaded machine.
inline constexpr auto kPatience = std::chrono::seconds(30);

// The engine's notices ("Comms Error"), collected between checks.
inline std::mutex noticeLock;
inline std::vector<std::string> notices;

inline void RecordNotice(const char* caption, const char* text) {
    std::lock_guard hold(noticeLock);
    notices.push_back(std::string(caption) + ": " + text);
}

inline std::string TakeNotices() {
    std::lock_guard hold(noticeLock);
    std::string all;
    for (const std::string& notice : notices) all += (all.empty() ? "" : "; ") + notice;
    notices.clear();
    return all;
}

// What went wrong in one check; the first few are told.
class Failures {
  public:
    void Add(const std::string& failure) {
        if (failure.empty()) return;
        if (++count_ <= kTold) text_ += (text_.empty() ? "" : "; ") + failure;
    }
    bool Any() const { return count_ > 0; }
    std::string Text() const {
        if (count_ <= kTold) return text_;
        return text_ + "; and " + std::to_string(count_ - kTold) + " more";
    }

  private:
    static constexpr int kTold = 4;
    int count_ = 0;
    std::string text_;
};

// Text for a failure line: printable, and short (what came may be a flood of wrong bytes).
inline std::string Quoted(const std::string& text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    for (unsigned char c : text.substr(0, kShown)) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    out += "\"";
    if (text.size() > kShown) out += " (" + std::to_string(text.size()) + " bytes)";
    return out;
}

// One open port of the engine, with the peer behind it.
class Port {
  public:
    Port() = default;
    ~Port() { (void)Close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    int Open(const CommPortConfig& config) { return CommOpen(&handle_, &config); }
    PortHandle Handle() const { return handle_; }

    // Closes the port; what went wrong ("" when nothing did): a result other than 0, a notice.
    std::string Close() {
        if (handle_ == 0) return "";
        int result = CommClose(handle_);
        handle_ = 0;
        std::string trouble = TakeNotices();
        if (result != 0) {
            trouble += (trouble.empty() ? "" : "; ") + std::string("CommClose gave ") +
                       std::to_string(result);
        }
        return trouble;
    }

    bool Send(const void* bytes, std::size_t count) {
        const auto* next = static_cast<const std::uint8_t*>(bytes);
        std::size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (done < count) {
            auto piece = static_cast<std::int32_t>(std::min<std::size_t>(count - done, 1024));
            int left = CommWrite(handle_, next + done, piece);
            if (left < 0) return false;
            done += static_cast<std::size_t>(piece - left);
            if (left > 0) {
                if (std::chrono::steady_clock::now() > deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return true;
    }
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }

    // Exactly `count` bytes, unless the time runs out (then fewer).
    std::vector<std::uint8_t> Receive(std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (done < count && std::chrono::steady_clock::now() < deadline) {
            auto wanted = static_cast<std::int32_t>(std::min<std::size_t>(count - done, 4096));
            int got = CommRead(handle_, bytes.data() + done, wanted);
            if (got < 0) break;
            done += static_cast<std::size_t>(got);
            if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        bytes.resize(done);
        return bytes;
    }

    // One line without its '\n'; false when none came in time.
    bool ReceiveLine(std::string* line) {
        line->clear();
        while (line->size() <= uartwire::kMaxLine) {
            std::vector<std::uint8_t> byte = Receive(1);
            if (byte.empty()) return false;
            if (byte[0] == '\n') return true;
            line->push_back(static_cast<char>(byte[0]));
        }
        return false;
    }

    // A request to the peer; its one-line answer, or why there is none.
    std::string Ask(const std::string& request) {
        if (!Send(request + "\n")) return "(" + request + " was not sent)";
        std::string answer;
        if (!ReceiveLine(&answer)) return "(no answer to " + request + ": " + Quoted(answer) + ")";
        return answer;
    }

  private:
    PortHandle handle_ = 0;
};

}  // namespace guestport
