// prog.exe's COM port, raw 8N1 without handshaking. One implementation per platform folder: on
// POSIX plain termios on the device of COM n (REFLASHER_COM<n>, else /dev/ttyS<n-1>), on Windows
// the device "\\.\COM<n>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SerialLine {
  public:
    SerialLine() = default;
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // The device that stands for COM `port`.
    static std::string DevicePath(int port);

    // Opens COM `port` exclusively at `baud`; on failure `error` says why.
    bool Open(int port, std::uint32_t baud, std::string& error);
    // Waits until everything written has gone out, then switches the line speed.
    bool SetSpeed(std::uint32_t baud);
    // Writes all bytes (bounded by a time-out of 10 ms a byte + 1 s).
    bool Write(const std::uint8_t* bytes, std::size_t length);
    // Waits up to `ms` for bytes; returns how many were read (0: none came), -1 on a line error.
    int Read(std::uint8_t* buffer, std::size_t capacity, int ms);
    // Drops whatever arrived and has not been read.
    void DiscardInput();

  private:
    // The open port: a descriptor on POSIX, a HANDLE on Windows; -1 when none.
    std::intptr_t line_ = -1;
};
