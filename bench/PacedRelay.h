// A relay between a flasher's port and the simulated receiver that paces the flasher's bytes at
// the speed the flasher set (the simulator paces only what it sends), so that both directions
// of a benchmarked flash run at line speed. It mirrors the flasher's line speed onto the
// simulator's side and notes when the flasher's block writes began and ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "tools/bootloader/BootProtocol.h"

namespace bench {

class PacedRelay {
  public:
    // Opens the simulator's side at `receiverPath` and starts the relay thread; throws
    // std::runtime_error when it cannot.
    explicit PacedRelay(const std::string& receiverPath);
    ~PacedRelay();
    PacedRelay(const PacedRelay&) = delete;
    PacedRelay& operator=(const PacedRelay&) = delete;

    // The port the flasher (and whoever else talks to the receiver) opens.
    const std::string& FlasherPath() const { return front_.SlavePath(); }

    struct Phase {
        std::int64_t firstWriteNs = 0;  // the first Write request had wholly crossed the line
        std::int64_t verifyNs = 0;      // the Verify request after the last block had crossed it
        std::uint32_t writeFrames = 0;
        std::uint32_t firstBlock = 0;  // data bytes of the first Write request
        std::uint64_t hostBytes = 0;   // bytes the flasher sent in all
    };
    Phase Observed() const;

  private:
    void Run();
    void Watch(const std::uint8_t* bytes, std::size_t count, std::int64_t now);

    PtyPair front_;
    int receiver_ = -1;
    boot::FrameReader reader_;  // relay thread only
    mutable std::mutex mutex_;
    Phase phase_;  // guarded by mutex_
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace bench
