// The receiver link's frame: 0x01, command, ~command, length N, N data bytes, 16-bit sum
// (little-endian) of everything before it. Pure byte work on buffers the caller owns.
#pragma once

#include <cstdint>

// Writes the 4-byte header (and zeroes the N data bytes when N > 0); returns buffer + 4.
std::uint8_t* BuildRequestHeader(std::uint8_t* buffer, std::uint8_t command,
                                 std::uint8_t dataLength);
// Writes the handshake's eight identification bytes "RUVU-000" at the data area.
void PutHandshakeId(std::uint8_t* data);
// Stores the checksum after N + 4 bytes; returns the total length N + 6.
std::uint16_t AppendChecksum(std::uint8_t* buffer, std::uint8_t dataLength);
// 0 when the two bytes after `summedLength` bytes hold their sum, else 1.
int VerifyChecksum(const std::uint8_t* packet, std::uint32_t summedLength);
// Scans `length` held bytes. Returns 0 (valid packet at packetOffset, length = its size),
// or 3 / 1 with either (candidate offset, length 0) or (offset 0, length unchanged).
int FindPacket(const std::uint8_t* buffer, std::uint32_t& packetOffset, std::uint32_t& length);
