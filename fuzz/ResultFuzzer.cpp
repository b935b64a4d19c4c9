// An arbitrary result file, read as RunFlasher reads it (flasher_os::ReadResultFile into a buffer
// of the result byte and the last words), then judged: success, or the flasher's last words.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "source/FlasherResult.h"
#include "source/platform/FlasherProcess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = FuzzFolder() + "/status.err";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    Check(write(fd, data, size) == static_cast<ssize_t>(size));
    close(fd);

    std::array<char, kResultBytes + kReasonBytes> buffer{};
    const int got = flasher_os::ReadResultFile(file, buffer.data(), buffer.size());
    const std::size_t expected = std::min(size, buffer.size());
    Check(got == static_cast<int>(expected) && std::memcmp(buffer.data(), data, expected) == 0);

    const auto* bytes = reinterpret_cast<const char*>(data);
    Check(ResultSucceeded(buffer.data(), expected) ==
          (size >= kResultBytes && bytes[kResultBytes - 1] == '0'));

    // The last words: printable, trimmed, and taken in order from the first line after the result
    // byte (nothing else).
    const std::string reason = ReasonAfterResult(buffer.data(), expected);
    Check(reason.size() <= kReasonBytes && Printable(reason));
    Check(reason.empty() || (reason.front() != ' ' && reason.back() != ' '));
    std::size_t at = kResultBytes;
    for (char c : reason) {
        while (at < expected && bytes[at] != c) {
            Check(bytes[at] != '\n' && bytes[at] != '\r');
            ++at;
        }
        Check(at < expected);
        ++at;
    }
    return 0;
}
