// libreflasher-modem-shim.so: preloaded (LD_PRELOAD) into Wine for the tests of the Windows
// tree, it gives pseudo-terminals the modem lines of a connected null-modem cable: CTS, DSR and
// carrier on, DTR and RTS settable, no line-error counts. Without it Wine's GetCommModemStatus
// fails on a pseudo-terminal and WaitCommEvent never reports a received character, which is the
// other road the engine must also survive; run-under-wine runs the suites both ways.
//
// Only the modem-line requests on pseudo-terminals that the kernel refuses are answered here;
// every other ioctl reaches the C library unchanged.
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

bool IsPseudoTerminal(int fd) {
    struct stat device {};
    if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
    // Unix98 pseudo-terminal slaves have majors 136 to 143.
    const unsigned major = ::major(device.st_rdev);
    return major >= 136 && major <= 143;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    static const auto next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    va_list rest;
    va_start(rest, request);
    void* argument = va_arg(rest, void*);
    va_end(rest);
    const int result = next(fd, request, argument);
    if (result == 0) return result;
    const int error = errno;
    if (!IsPseudoTerminal(fd)) return result;
    switch (request) {
        case TIOCMGET:
            *static_cast<int*>(argument) =
                TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_DTR | TIOCM_RTS;
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        case TIOCGICOUNT:
            std::memset(argument, 0, sizeof(serial_icounter_struct));
            return 0;
        default:
            errno = error;
            return result;
    }
}
