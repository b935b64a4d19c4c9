// Folder and file names through the flasher's command line: quoted as one Windows-style argument
// (as both platforms hand it over), then split again by the flasher's rules: the same arguments
// come back. And any line at all through the splitting: its arguments, quoted and joined again,
// split into the same arguments.
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "source/Flasher.h"
#include "source/platform/FlasherProcess.h"
#include "source/platform/posix/CommandLine.h"

namespace {

// No name holds a NUL: the system ends a path there.
std::string WithoutNul(std::string text) {
    std::erase(text, '\0');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::int32_t port = input.ConsumeIntegral<std::int32_t>();
    const std::int32_t connectSpeed = input.ConsumeIntegral<std::int32_t>();
    const std::int32_t transferSpeed = input.ConsumeIntegral<std::int32_t>();
    const std::string folder = WithoutNul(input.ConsumeRandomLengthString(512));
    const std::string file = WithoutNul(input.ConsumeRandomLengthString(64));
    const std::string line = input.ConsumeRemainingBytesAsString();

    const std::vector<std::string> args = flasher_os::SplitWindowsCommandLine(
        FlasherCommandLine(folder, file, port, connectSpeed, transferSpeed));
    const std::vector<std::string> expected = {"prog.exe",
                                               folder + flasher_os::kPathSeparator + file,
                                               std::to_string(port),
                                               "P",
                                               std::to_string(connectSpeed),
                                               std::to_string(transferSpeed)};
    Check(args == expected);

    const std::vector<std::string> split = flasher_os::SplitWindowsCommandLine(line);
    if (split.size() < 2) return 0;
    std::string again = "prog.exe";
    for (std::size_t i = 1; i < split.size(); ++i)
        again += " " + flasher_os::QuotedArgument(split[i]);
    std::vector<std::string> back = flasher_os::SplitWindowsCommandLine(again);
    Check(back.size() == split.size());
    for (std::size_t i = 1; i < split.size(); ++i) Check(back[i] == split[i]);
    return 0;
}
