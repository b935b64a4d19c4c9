// The events of an unattended run, one line each on its output: JSON objects (--json) or short
// plain lines for a person reading along. Every event carries "event", "time" (UTC) and the
// run's "device"; the rest is the event's own.
//
// Threads: emit may be called from any thread (the user-interface thread, and the thread that
// reads the flasher's console); lines are written whole, one at a time.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

class EventLog {
  public:
    // Lines go to `out`; that `out` cannot be written (a reader that went away) is said once on
    // `err`, and the run goes on.
    EventLog(std::FILE* out, bool json, std::FILE* err = nullptr)
        : out_(out), err_(err), json_(json) {}

    void setDevice(std::string device) {
        std::lock_guard<std::mutex> hold(lock_);
        device_ = std::move(device);
    }
    // Writes `fields` as event `name`.
    void emit(const std::string& name,
              nlohmann::ordered_json fields = nlohmann::ordered_json::object());

  private:
    std::string plainLine(const std::string& name, const nlohmann::ordered_json& fields) const;

    std::FILE* out_;
    std::FILE* err_;
    bool json_;
    bool failed_ = false;  // guarded by lock_: the failure was said
    std::mutex lock_;      // one line at a time
    std::string device_;   // guarded by lock_
};
