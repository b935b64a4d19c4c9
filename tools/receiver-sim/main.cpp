// receiver-sim: a simulated receiver on a pseudo-terminal, for the demo and for tests that run
// it as a child process. Prints the device path (or makes a symbolic link to it), then serves
// until SIGTERM or SIGINT.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "tools/bootloader/SimBootloader.h"
#include "tools/receiver-sim/ReceiverSim.h"

namespace {

void Usage(std::FILE* to) {
    std::fputs(
        "usage: receiver-sim [--link PATH] [--baud 19200|9600] [--serial-prefix TEXT]\n"
        "                    [--serial-value 0xHEX] [--version TEXT] [--external 0|1]\n"
        "                    [--battery N] [--fault NAME] [--bricked 0|1] [--fast]\n"
        "--fast: take the bytes sent to it as they come (tests); otherwise no faster than the "
        "line\n"
        "faults: none silent noise-flood split double stray bad-checksum truncated no-power\n"
        "        handshake-only unplug other-subcode no-serial keeps-old-version slow-start\n"
        "        worn-flash other-receiver\n",
        to);
}

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    sim::DeviceState device;
    device.pacedInput = true;  // a flasher's write takes as long as on a real line
    std::string linkPath;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            Usage(stdout);
            return 0;
        }
        if (option == "--fast") {
            device.pacedInput = false;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "receiver-sim: %s needs a value\n", option.c_str());
            Usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        long long number = 0;
        if (option == "--link") {
            linkPath = value;
        } else if (option == "--baud" && ParseNumber(value, 0, 1000000, number) &&
                   (number == 19200 || number == 9600)) {
            device.ownBaud = static_cast<unsigned>(number);
        } else if (option == "--serial-prefix") {
            device.serialPrefix = value;
        } else if (option == "--serial-value" && ParseNumber(value, 0, 0xFFFFFFFFLL, number)) {
            device.serialValue = static_cast<std::uint32_t>(number);
        } else if (option == "--version") {
            device.firmwareVersion = value;
        } else if (option == "--external" && ParseNumber(value, 0, 1, number)) {
            device.externalPower = number == 1;
        } else if (option == "--battery" && ParseNumber(value, INT32_MIN, INT32_MAX, number)) {
            device.batteryLevel = static_cast<std::int32_t>(number);
        } else if (option == "--bricked" && ParseNumber(value, 0, 1, number)) {
            device.bricked = number == 1;
        } else if (option == "--fault" && sim::ParseFault(value, device.fault)) {
        } else {
            std::fprintf(stderr, "receiver-sim: bad option or value: %s %s\n", option.c_str(),
                         value);
            Usage(stderr);
            return 2;
        }
    }

    // Block the stop signals before the simulator's thread exists, so only sigwait sees them.
    // A shell starts background jobs with SIGINT ignored, and POSIX leaves open whether an
    // ignored signal reaches sigwait (Linux delivers it while blocked): restore the default first.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int stop : {SIGTERM, SIGINT, SIGHUP}) {
        signal(stop, SIG_DFL);
        sigaddset(&stopSignals, stop);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        sim::ReceiverSim receiver(device, sim::MakeReceiverWithBootloader());
        if (!linkPath.empty()) {
            struct stat existing {};
            if (lstat(linkPath.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) {
                unlink(linkPath.c_str());  // a link left by an earlier run that was killed hard
            }
            if (symlink(receiver.SlavePath().c_str(), linkPath.c_str()) != 0) {
                std::fprintf(stderr, "receiver-sim: cannot link %s: %s\n", linkPath.c_str(),
                             std::strerror(errno));
                return 1;
            }
        }
        std::printf("%s\n", linkPath.empty() ? receiver.SlavePath().c_str() : linkPath.c_str());
        std::fflush(stdout);

        int received = 0;
        sigwait(&stopSignals, &received);
        if (!linkPath.empty()) {
            unlink(linkPath.c_str());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "receiver-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
