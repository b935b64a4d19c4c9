// Splitting a Windows-style command line into arguments, so that the flasher's command line is
// formatted exactly as on Windows and still reaches a POSIX program argument by argument.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace flasher_os {

// Splits `line` as the Microsoft C runtime does: the program name ends at the first blank or tab
// (or, when it starts with '"', at the next '"', with no escapes); every further argument ends at
// a blank or tab outside quotes; 2n backslashes before '"' give n backslashes and a quote that
// opens or closes, 2n+1 give n backslashes and a literal '"'; inside quotes "" gives a literal '"';
// other backslashes are literal.
std::vector<std::string> SplitWindowsCommandLine(std::string_view line);

}  // namespace flasher_os
