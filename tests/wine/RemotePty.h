// The far end of a COM port, for the Windows test programs under Wine. The pseudo-terminal
// behind the port lives on the Linux side, where reflasher-pty-broker (started by
// run-under-wine) makes it and points the port's link at it; the program drives it over TCP.
// RemotePty offers what the Linux tests' Pty offers, so the engine's suites run unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace winetest {

// True when the program runs under Wine.
bool UnderWine();
// Whether run-under-wine preloaded the modem-line shim: 1 or 0; -1 when it did not say.
int ModemShim();

// One connection to the broker: one far end. Every call waits for the broker's answer.
class BrokerLink {
  public:
    BrokerLink();
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    bool Connected() const { return socket_ != kNone; }
    // Sends one request line (and `payload` after it); returns the answer line, "" when the
    // connection failed.
    std::string Request(const std::string& line, const std::vector<std::uint8_t>& payload = {});
    // Reads exactly `count` bytes that follow an answer.
    bool ReadBytes(std::uint8_t* bytes, std::size_t count);

  private:
    static constexpr std::uintptr_t kNone = ~std::uintptr_t{0};
    std::uintptr_t socket_ = kNone;  // a SOCKET
};

// A pseudo-terminal whose slave is COM port `port`.
class RemotePty {
  public:
    explicit RemotePty(int port);

    bool Ok() const { return !slave_.empty(); }
    const std::string& SlavePath() const { return slave_; }
    // Closes the master: the port's line goes away, as when a cable is pulled.
    void CloseMaster();
    // Writes everything (waiting for room up to 20 s); false when the time ran out.
    bool Send(const std::vector<std::uint8_t>& bytes);
    // Reads exactly `count` bytes unless 20 s run out first.
    std::vector<std::uint8_t> Receive(std::size_t count);
    // Takes whatever the far end holds right now, without waiting.
    void Drain();

  private:
    BrokerLink link_;
    std::string slave_;
};

// A simulated receiver (receiver-sim with `options`) on COM port `port`, until destroyed.
class RemoteReceiver {
  public:
    RemoteReceiver(int port, const std::string& options);
    bool Ok() const { return ok_; }

  private:
    BrokerLink link_;
    bool ok_ = false;
};

// COM port `port` leads nowhere (its link points at a path that does not exist), so that
// opening it fails, until another far end takes the port.
bool MakePortMissing(int port);

}  // namespace winetest
