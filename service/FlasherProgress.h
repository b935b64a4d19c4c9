// The flasher's progress bar as the unattended run reads it from the flasher's console:
// "Writing [###.....]  12288/32796 bytes ..." (one segment between carriage returns).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct FlasherProgress {
    std::int64_t done = 0;   // bytes written
    std::int64_t total = 0;  // bytes to write
    int percent = 0;         // 0 ... 100
};

// Counts longer than this many digits are no firmware's: such a line is not taken as progress.
inline constexpr std::size_t kMaxProgressDigits = 15;

// The progress that `segment` reports, or nothing when it is not a progress line (then it is
// shown as the flasher's output). Any text at all may come: every number is read within bounds.
std::optional<FlasherProgress> ParseFlasherProgress(std::string_view segment);
