// Confirmation after a flash: the receiver is identified again, with the handshake and identity
// requests of the connecting sequence, through the engine on the run's COM port.
//
// Runs on the user-interface thread after the page chain has ended (the pages have released the
// port and stopped the engine by then); it starts and stops the engine itself on every attempt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Identification {
    bool answered = false;        // a handshake and an identity reply came
    std::string firmwareVersion;  // whole, in visible form, as the receiver reported it
    std::string serialNumber;     // in visible form, as the receiver reported it
    std::int32_t speed = 0;       // at which it answered
    int attempts = 0;
    std::int64_t durationMs = 0;
};

// Tries COM `port` at each of `speeds` in turn, again and again (a receiver starting its new
// firmware answers nothing for a while), until the receiver answers both requests, `limitMs` has
// passed since the call, or `stop` says so.
Identification IdentifyAgain(std::int32_t port, const std::vector<std::int32_t>& speeds, std::uint32_t limitMs,
                             const std::function<bool()>& stop);
