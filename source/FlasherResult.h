// The flasher's result file (status.err) as RunFlasher reads it: the seventh byte tells how the
// flasher ended ('0' for success); the first line after it holds its last words on a failure.
#pragma once

#include <cstddef>
#include <string>

inline constexpr std::size_t kResultBytes = 7;
// The flasher's last words after the result byte: one line, at most this long.
inline constexpr std::size_t kReasonBytes = 240;

// True when the `count` bytes read from the start of the result file report success.
bool ResultSucceeded(const char* bytes, std::size_t count);
// The printable text of the first line after the result byte, without the blanks around it.
std::string ReasonAfterResult(const char* bytes, std::size_t count);
