// Quoting a path as one argument of a Windows-style command line: the same on every platform,
// since the flasher's command line is formatted as on Windows everywhere.
#include "source/platform/FlasherProcess.h"

namespace flasher_os {

std::string QuotedArgument(const std::string& path) {
    // The splitting's rules, undone: backslashes count only in front of a quote (where they are
    // doubled, and the quote gets one of its own), and the closing quote must stay a quote.
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : path) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + '"';
}

}  // namespace flasher_os
