#include "source/FlasherResult.h"

namespace {
constexpr char kSuccessMark = '0';
}  // namespace

bool ResultSucceeded(const char* bytes, std::size_t count) {
    return count >= kResultBytes && bytes[kResultBytes - 1] == kSuccessMark;
}

std::string ReasonAfterResult(const char* bytes, std::size_t count) {
    std::string reason;
    for (std::size_t i = kResultBytes; i < count; ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r') break;
        if (c >= 0x20 && c < 0x7F) reason += c;
    }
    const std::size_t first = reason.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return reason.substr(first, reason.find_last_not_of(' ') - first + 1);
}
