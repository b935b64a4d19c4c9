// prog.exe's side of the bootloader protocol: one request, one reply, on the serial line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "tools/bootloader/BootProtocol.h"
#include "tools/prog/SerialLine.h"

class BootClient {
  public:
    // `interrupted` is asked while waiting; when it says yes, the wait ends at once.
    BootClient(SerialLine& line, std::function<bool()> interrupted)
        : line_(line), interrupted_(std::move(interrupted)) {}

    // Sends the request up to `tries` times and waits up to `timeoutMs` after each for its reply.
    // Returns the reply (status in data[0]); nothing on silence, a line error or an interruption.
    std::optional<boot::Frame> Transact(boot::Command command, std::span<const std::uint8_t> data,
                                        int timeoutMs, int tries);

    bool WasInterrupted() const { return stopped_; }
    bool LineFailed() const { return lineFailed_; }

  private:
    std::optional<boot::Frame> AwaitReply(boot::Command command, int timeoutMs);

    SerialLine& line_;
    std::function<bool()> interrupted_;
    boot::FrameReader reader_;
    bool stopped_ = false;
    bool lineFailed_ = false;
};
