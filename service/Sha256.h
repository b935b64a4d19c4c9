// SHA-256 (FIPS 180-4) of a file or of bytes, for the record: which image a receiver got. Small
// and self-contained, since nothing else in the program needs a cryptographic library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class Sha256 {
  public:
    Sha256();
    void add(const void* bytes, std::size_t count);
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string hex();

  private:
    void block(const std::uint8_t* p);

    std::uint32_t state_[8];
    std::uint8_t pending_[64];
    std::size_t pendingCount_ = 0;
    std::uint64_t totalBytes_ = 0;
};

// The digest of the file at `path`, read whole; nothing when it cannot be read.
std::optional<std::string> Sha256OfFile(const std::string& path);
