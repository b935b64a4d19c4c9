#include "service/PortArgument.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "comm/Comm.h"
#include "service/platform/ServiceOs.h"

namespace {

constexpr int kListedPorts = 4;  // the port selection page offers COM Port 1 ... 4

// The whole device of COM `com`, however long (never its start, which may name another file; the
// engine refuses one too long to open, with its reason).
std::string DeviceOf(std::int32_t com) {
    std::string device(PATH_MAX, '\0');
    for (;;) {
        CommPortDevice(com, device.data(), device.size());
        const std::size_t length = std::strlen(device.c_str());
        if (length + 1 < device.size()) return device.substr(0, length);
        device.resize(2 * device.size());
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat x {
    }, y{};
    if (stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0) return false;
    if (S_ISCHR(x.st_mode) && S_ISCHR(y.st_mode)) return x.st_rdev == y.st_rdev;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

bool ChoosePort(const std::string& argument, PortChoice& choice, std::string& error) {
    if (argument.empty()) {
        error = "--port needs a COM port number (1 to 4) or a device path";
        return false;
    }
    if (argument.find_first_not_of("0123456789") == std::string::npos) {
        const long n = argument.size() > 3 ? 0 : std::strtol(argument.c_str(), nullptr, 10);
        if (n < 1 || n > kListedPorts) {
            error =
                "--port " + argument + ": the COM port must be 1 to 4 (or give the device's path)";
            return false;
        }
        choice.com = static_cast<std::int32_t>(n);
        choice.device = DeviceOf(choice.com);
        return true;
    }
    std::error_code ec;
    std::string path = argument;
    if (path[0] != '/') path = std::filesystem::absolute(path, ec).string();
    if (ec || path.empty()) {
        error = "--port " + argument + ": cannot make the path absolute";
        return false;
    }
    for (std::int32_t n = 1; n <= kListedPorts; ++n) {
        if (SameFile(DeviceOf(n), path)) {
            choice = {n, path};
            return true;
        }
    }
    for (std::int32_t n = 1; n <= kListedPorts; ++n) {
        const std::string variable = "REFLASHER_COM" + std::to_string(n);
        const char* mapped = std::getenv(variable.c_str());
        if (mapped != nullptr && *mapped != '\0') continue;
        service_os::SetEnvironment(variable, path);
        choice = {n, path};
        return true;
    }
    error = "--port " + argument +
            ": COM ports 1 to 4 are all mapped to other devices by REFLASHER_COM1 ... 4";
    return false;
}
