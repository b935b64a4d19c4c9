#include "comm/platform/posix/CustomSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace comm::platform {

bool ApplyWithCustomSpeed(int fd, const RawTermios& settings, std::uint32_t baud) {
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    line.c_iflag = settings.iflag;
    line.c_oflag = settings.oflag;
    line.c_lflag = settings.lflag;
    line.c_cflag = settings.cflag & ~(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = baud;
    line.c_ospeed = baud;
    std::copy_n(settings.cc, std::min<std::size_t>(settings.ccCount, NCCS), line.c_cc);
    return ioctl(fd, TCSETS2, &line) == 0;
}

bool ReadLineSpeed(int fd, std::uint32_t* baud) {
    struct termios2 line {};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    *baud = line.c_ospeed;
    return true;
}

}  // namespace comm::platform
