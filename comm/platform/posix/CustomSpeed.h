// Line speeds that have no termios speed code (14400, 128000, 256000, ...), set through Linux's
// termios2 interface. Kept apart because its header cannot meet <termios.h> in one file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace comm::platform {

// The termios fields to apply together with the speed.
struct RawTermios {
    std::uint32_t iflag;
    std::uint32_t oflag;
    std::uint32_t cflag;  // its speed bits are replaced
    std::uint32_t lflag;
    const unsigned char* cc;
    std::size_t ccCount;
};

// Applies `settings` with input and output speed `baud` at once (TCSANOW).
bool ApplyWithCustomSpeed(int fd, const RawTermios& settings, std::uint32_t baud);
// The line's output speed in bit/s; false when it cannot be read.
bool ReadLineSpeed(int fd, std::uint32_t* baud);

}  // namespace comm::platform
