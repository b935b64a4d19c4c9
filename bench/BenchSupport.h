// Plumbing shared by the benchmarks: pseudo-terminal pairs, clocks, statistics, COM port mapping.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/Comm.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A pseudo-terminal pair in raw mode, both descriptors non-blocking. The slave descriptor keeps
// the pair up while a subject opens and closes the slave by its path.
class PtyPair {
  public:
    PtyPair();  // throws std::runtime_error when no pair can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int Master() const { return master_; }
    int Slave() const { return slave_; }
    const std::string& SlavePath() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The byte at `offset` of every benchmark stream (never a run of one value, so a slip shows).
inline std::uint8_t Pattern(std::size_t offset) {
    return static_cast<std::uint8_t>((offset * 7 + offset / 251) & 0xFF);
}
std::vector<std::uint8_t> PatternBytes(std::size_t length);

// Writes all `length` bytes to a non-blocking descriptor, waiting with poll; false on an error.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t length);
// Discards whatever a non-blocking descriptor holds now.
void Drain(int fd);

// Maps COM `port` to `path` for the engine and the flasher (REFLASHER_COM<port>).
void MapComPort(int port, const std::string& path);

double Median(std::vector<double> values);
// The p-th percentile (0..100), nearest rank.
double Percentile(std::vector<double> values, double p);

// CPU time of the whole process, in seconds.
double ProcessCpuSeconds();

}  // namespace bench
