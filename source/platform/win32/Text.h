// The Windows platform layer's text at the system's edge (the flasher hand-off's and the service
// bench's): UTF-8 on the portable side, UTF-16 for the system's wide-character calls, which are
// the only ones used, so that no path or name goes through the ANSI code page.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace flasher_os {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* text, std::size_t length);

// The system's words for `error` (GetLastError's), without the final full stop.
std::string SystemMessage(unsigned long error);

// The program's environment with TMP and TEMP set to `temporary`, as CreateProcessW takes it
// with CREATE_UNICODE_ENVIRONMENT: "NAME=value" strings one after the other, each ending in a
// NUL, then one more NUL, sorted by name without regard to case (the drive entries "=C:=..."
// first, as Windows keeps them).
std::vector<wchar_t> EnvironmentWithTemp(const std::wstring& temporary);

}  // namespace flasher_os
