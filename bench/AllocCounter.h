// Heap allocation counting for the benchmarks: every allocation in the process (any thread) is
// counted while a window is open. The release build hooks malloc and its relatives, so C++ and C
// allocations both count; sanitized builds count through a replacement operator new.
#pragma once

#include <cstdint>

namespace bench {

// Opens a counting window (counts from zero).
void AllocStart();
// Closes the window and returns the allocations made in it.
std::uint64_t AllocStop();
// What the hook covers, for the results' notes.
const char* AllocHookKind();

}  // namespace bench
