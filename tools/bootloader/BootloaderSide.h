// The receiver's bootloader: its flash, the session with prog.exe, and which firmware runs.
// Independent of any transport: its owner feeds it the bytes that arrive (with the line speed
// the host side uses and the time), calls Tick regularly, and sends what it hands to `send`,
// paced at the speed given with each chunk.
//
// Threads: one thread at a time (the owner's); it keeps no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/bootloader/BootProtocol.h"

namespace boot {

class BootloaderSide {
  public:
    // Sends `length` bytes at `baud` (the speed the bootloader talks at when it sends them).
    using Send =
        std::function<void(const std::uint8_t* bytes, std::size_t length, std::uint32_t baud)>;

    struct Options {
        std::string firmwareVersion = "169-508231-004";  // what the receiver runs at power-up
        std::uint32_t eraseMs = 300;                     // time the erase takes
        std::uint32_t sessionIdleMs = kSessionIdleMs;    // a silent session ends after this
        std::uint32_t capacity = 256 * 1024;             // flash size for an image
    };

    BootloaderSide(Options options, Send send);

    // Bytes that arrived while the host side's line ran at `lineBaud`. Bytes sent at a speed the
    // bootloader does not listen at are line noise to it and are dropped.
    void Receive(const std::uint8_t* bytes, std::size_t length, std::uint32_t lineBaud,
                 std::uint64_t nowMs);
    // Finishes an erase and ends an idle session when their time has come.
    void Tick(std::uint64_t nowMs);

    // Whether bytes at `lineBaud` reach the bootloader: in a session only at its speed, otherwise
    // at any speed (it detects the speed from the host's Sync).
    bool ListensAt(std::uint32_t lineBaud) const;
    // True while a session runs: the application is stopped meanwhile.
    bool InSession() const { return inSession_; }
    // The application answers the wizard only when valid firmware runs and no session is open.
    bool ApplicationRuns() const { return firmwareValid_ && !inSession_; }
    // Version text of the valid firmware; empty when the flash holds none.
    const std::string& FirmwareVersion() const { return firmwareVersion_; }

    // Valid firmware of `version` in the flash (what the factory put there).
    void SetFirmware(const std::string& version);
    // The fault the wizard warns of: the firmware is gone, only the bootloader answers.
    void Brick();
    // Power cycle: any session ends; the flash keeps what it holds.
    void PowerCycle();
    // A worn flash: every block written from now on keeps its first byte inverted, so the image
    // never verifies.
    void SetFlashWorn(bool worn) { flashWorn_ = worn; }

  private:
    void Handle(const Frame& frame, std::uint32_t lineBaud, std::uint64_t nowMs);
    void Reply(std::uint8_t command, Status status, const std::vector<std::uint8_t>& extra = {});

    Options options_;
    Send send_;
    FrameReader reader_;

    bool firmwareValid_ = true;
    std::string firmwareVersion_;

    bool inSession_ = false;
    std::uint32_t sessionBaud_ = 0;
    std::uint64_t lastRequestMs_ = 0;

    bool erasing_ = false;
    std::uint64_t eraseDoneMs_ = 0;
    std::uint32_t imageLength_ = 0;    // length announced by the last erase; 0: not erased
    std::vector<std::uint8_t> flash_;  // the image written so far
    bool verified_ = false;
    bool flashWorn_ = false;
};

}  // namespace boot
