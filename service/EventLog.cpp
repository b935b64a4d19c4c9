#include "service/EventLog.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "source/ReceiverInfoDlg.h"
#include "service/RunReport.h"

namespace {

// Message texts keep their line breaks in JSON; a plain line shows them as " / ".
std::string OneLine(std::string text) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') continue;
        if (text[i] == '\n') {
            if (!line.empty() && !line.ends_with(" / ")) line += " / ";
            continue;
        }
        line += text[i];
    }
    return line;
}

std::string Text(const nlohmann::ordered_json& fields, const char* key) {
    auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) return "-";
    return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

void EventLog::emit(const std::string& name, nlohmann::ordered_json fields) {
    std::lock_guard<std::mutex> hold(lock_);
    std::string line;
    if (json_) {
        nlohmann::ordered_json event = {{"event", name},
                                        {"time", UtcTime(std::chrono::system_clock::now())}};
        if (!device_.empty()) event["device"] = device_;
        for (auto it = fields.begin(); it != fields.end(); ++it) event[it.key()] = it.value();
        // Bytes from a receiver or a flasher are not always UTF-8: they are replaced, not fatal.
        line = event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } else {
        // Device paths, folder names and texts may hold anything: the terminal gets none of their
        // control characters, and a line stays one line.
        line = VisibleText(plainLine(name, fields));
        if (line.empty()) return;
    }
    line += '\n';
    errno = 0;
    if ((std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0) &&
        !failed_) {
        failed_ = true;
        const int error = errno;
        if (err_ != nullptr) {
            std::fprintf(err_, "reflasher: the events cannot be written (%s); the run goes on\n",
                         error != 0 ? std::strerror(error) : "write error");
        }
    }
}

std::string EventLog::plainLine(const std::string& name, const nlohmann::ordered_json& f) const {
    if (name == "page") return "page: " + Text(f, "page");
    if (name == "status") return "status: " + Text(f, "text");
    if (name == "message") return "message: " + OneLine(Text(f, "text"));
    if (name == "receiver") {
        return "receiver: " + Text(f, "serial") + ", firmware " + Text(f, "version") + ", at " +
               Text(f, "speed") + " baud, battery " + Text(f, "battery") + ", external power " +
               Text(f, "external_power");
    }
    if (name == "flasher_started") return "flasher: started: " + Text(f, "command_line");
    if (name == "flasher_output") return "flasher: " + Text(f, "line");
    if (name == "flasher_progress") return {};  // the plain lines keep to what a person reads
    if (name == "flasher_ended")
        return "flasher: " + Text(f, "result") + " after " + Text(f, "duration_ms") + " ms";
    if (name == "confirmation") {
        return "confirmation: " + Text(f, "result") + " (expected " + Text(f, "expected") +
               ", found " + Text(f, "found") + ", " + Text(f, "attempts") +
               (Text(f, "attempts") == "1" ? " attempt)" : " attempts)");
    }
    if (name == "outcome") {
        return "outcome: " + Text(f, "outcome") + " (exit " + Text(f, "exit_code") + "): COM" +
               Text(f, "port") + " " + Text(f, "device") + ", serial " + Text(f, "serial") + ", " +
               Text(f, "old_version") + " -> " + Text(f, "confirmed_version");
    }
    return name + ": " + f.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
