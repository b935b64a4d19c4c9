// --port values and REFLASHER_COM<n> paths, any bytes at all: ChoosePort resolves or refuses
// them, a COM port's device is always its whole mapping, and the engine refuses a mapping it
// cannot open whole (with its reason) instead of opening the start of it.
#include <limits.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "comm/Comm.h"
#include "comm/platform/LineDevice.h"
#include "fuzz/FuzzCheck.h"
#include "service/PortArgument.h"

namespace {

std::string Variable(int n) {
    return "REFLASHER_COM" + std::to_string(n);
}

std::string Mapping(int n) {
    const char* value = std::getenv(Variable(n).c_str());
    return value == nullptr ? std::string() : value;
}

// Variables set by the harness or by ChoosePort, in buffers of our own: glibc's setenv keeps
// every value ever set (a program sets a handful; millions of runs would run out of memory).
std::map<std::string, std::string>& Entries() {
    static auto* entries = new std::map<std::string, std::string>;
    return *entries;
}

void Put(const std::string& name, const std::string& value) {
    unsetenv(name.c_str());
    std::string& entry = Entries()[name];
    entry = name + "=" + value;
    putenv(entry.data());
}

}  // namespace

// ChoosePort's setenv, in this program only.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite != 0 || std::getenv(name) == nullptr) Put(name, value);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    for (int n = 1; n <= 4; ++n) {
        unsetenv(Variable(n).c_str());
        // No NUL inside: the environment ends a value there. A byte for the length, so that a
        // path past what the engine takes is one step away.
        if (!input.ConsumeBool()) continue;
        std::string path = input.ConsumeRandomLengthString(256);
        std::erase(path, '\0');
        path.resize(
            path.size() + (input.ConsumeBool() ? 16 * input.ConsumeIntegral<std::uint8_t>() : 0),
            '/');
        if (!path.empty()) Put(Variable(n), path);
    }
    std::string argument = input.ConsumeRemainingBytesAsString();
    std::erase(argument, '\0');

    for (int n = 1; n <= 4; ++n) {
        const std::string mapped = Mapping(n);
        char device[PATH_MAX + 2] = {};
        CommPortDevice(n, device, sizeof device);
        if (!mapped.empty() && mapped.size() <= PATH_MAX) Check(device == mapped);
        if (mapped.size() >= PATH_MAX) {
            // Too long to open whole: refused before any file is touched, with the reason.
            alignas(std::max_align_t) unsigned char storage[comm::platform::kLineDeviceStorageSize];
            Check(comm::platform::OpenPlatformLineDevice(n, storage) == nullptr);
            Check(std::string(comm::platform::LastOpenFailure()).find("longer than") !=
                  std::string::npos);
        }
    }

    PortChoice choice;
    std::string error;
    const bool chosen = ChoosePort(argument, choice, error);
    Check(chosen == error.empty());
    if (!chosen) return 0;
    Check(choice.com >= 1 && choice.com <= 4 && !choice.device.empty());
    if (argument.find_first_not_of("0123456789") == std::string::npos) {
        Check(std::to_string(choice.com) == argument.substr(argument.find_first_not_of('0')));
    } else {
        // A path stands for a COM port whose device is that very file, named whole.
        std::error_code ec;
        Check(choice.device ==
              (argument[0] == '/' ? argument : std::filesystem::absolute(argument, ec).string()));
    }
    return 0;
}
