// What the guest's checks and the host's peer say to each other over the guest's second UART
// (/dev/ttyS1 in the guest, a socket on the host). The guest asks, one line at a time; the peer
// answers each request before it reads the next:
//
//   TRACE               -> "TRACE <bit/s> <N|O|E> <data bits> <stop bits>": the line as the
//                          guest's driver last programmed the UART, from QEMU's trace log
//                          ("TRACE none" before any)
//   SEND <count> <seed> -> the bytes of Pattern(count, seed), nothing else
//   RECV <count> <seed> -> followed by that many bytes from the guest; "RECV ok" when they are
//                          Pattern(count, seed), otherwise "RECV bad <offset>" or "RECV short
//                          <got>"
//   BREAK               -> a break on the line (QEMU's chardev-send-break), then "BREAK ok" once
//                          QEMU has delivered it ("BREAK failed <why>" otherwise)
//
// Lines end with '\n'. QEMU passes every byte as 8 bits whatever data bits the line has, so the
// requests work at every setting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uartwire {

// Longest request or answer line, '\n' excluded.
inline constexpr std::size_t kMaxLine = 120;

// The bytes of a transfer: every byte value once (so no value is swallowed or translated on the
// way: XON, XOFF, CR, LF, NUL, 0xFF), then a pseudo-random run.
inline std::vector<std::uint8_t> Pattern(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < count; ++i) {
        if (i < 256) {
            bytes[i] = static_cast<std::uint8_t>(i + seed);
            continue;
        }
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

}  // namespace uartwire
