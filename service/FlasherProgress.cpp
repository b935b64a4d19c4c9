#include "service/FlasherProgress.h"

#include <algorithm>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number `digits` spells (all digits, 1 ... kMaxProgressDigits of them), else nothing.
std::optional<std::int64_t> Count(std::string_view digits) {
    if (digits.empty() || digits.size() > kMaxProgressDigits) return std::nullopt;
    std::int64_t value = 0;
    for (char c : digits) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<FlasherProgress> ParseFlasherProgress(std::string_view segment) {
    if (!segment.starts_with("Writing [")) return std::nullopt;
    const std::size_t bytes = segment.find(" bytes");
    if (bytes == std::string_view::npos) return std::nullopt;
    const std::size_t slash = segment.rfind('/', bytes);
    if (slash == std::string_view::npos) return std::nullopt;

    // "12288/32796 bytes": the digits just before the slash, blanks allowed after it.
    std::size_t begin = slash;
    while (begin > 0 && IsDigit(segment[begin - 1])) --begin;
    std::size_t first = slash + 1;
    while (first < bytes && segment[first] == ' ') ++first;
    std::size_t end = first;
    while (end < bytes && IsDigit(segment[end])) ++end;
    if (segment.substr(end, bytes - end).find_first_not_of(' ') != std::string_view::npos)
        return std::nullopt;
    const std::optional<std::int64_t> done = Count(segment.substr(begin, slash - begin));
    const std::optional<std::int64_t> total = Count(segment.substr(first, end - first));
    if (!done || !total) return std::nullopt;

    FlasherProgress progress{*done, *total, 0};
    // Both below 10^15: done * 100 stays far inside 64 bits. A count past the total is 100 %.
    if (*total > 0)
        progress.percent = static_cast<int>(std::min<std::int64_t>(*done * 100 / *total, 100));
    return progress;
}
