// The conversation with a receiver as a whole: the line it listens on, the three requests, and
// "identify the receiver at these speeds" for everyone who must ask it who it is and what it runs
// (the connecting page builds its own sequence from the same requests; the check after a flash and
// the service bench's confirmation use IdentifyAgain).
//
// IdentifyAgain runs on the calling thread and starts and stops the serial engine around each
// round; it must not be called while the caller holds a port of the engine open.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "comm/Comm.h"

// The line the receiver listens on, on COM port `port`: 8 data bits, no parity, one stop bit, no
// handshaking, at `baud` (19200 or 9600).
CommPortConfig ConnectingLine(std::int32_t port, std::uint32_t baud);

// The requests, built at the start of `buffer`; each returns the request's length.
std::uint16_t BuildHandshakeRequest(std::uint8_t* buffer);  // 14 bytes
std::uint16_t BuildIdentityRequest(std::uint8_t* buffer);   // 6 bytes
std::uint16_t BuildPowerRequest(std::uint8_t* buffer);      // 7 bytes

// The two speeds a receiver may answer at, `first` first (a speed that is neither counts as 19200).
std::vector<std::int32_t> SpeedsStartingWith(std::int32_t first);

// How long a receiver gets to answer after a flash: it restarts into its new firmware.
inline constexpr std::uint32_t kIdentifyAgainLimitMs = 15000;

struct Identification {
    bool answered = false;        // a handshake and an identity reply with a version came
    std::string serialNumber;     // in visible form, as the receiver reported it
    std::string firmwareVersion;  // whole, in visible form
    std::int32_t speed = 0;       // at which it answered
    int attempts = 0;
    std::int64_t durationMs = 0;
};

struct IdentifyRequest {
    std::int32_t port = 0;
    std::vector<std::int32_t> speeds;  // tried in this order, round after round
    std::uint32_t limitMs = kIdentifyAgainLimitMs;
    // Asked between steps; true ends the search at once. May be left empty.
    std::function<bool()> stop;
    // Waits `ms` milliseconds (the collection's cycles, the rest between rounds); a front end with
    // windows keeps them painted here. Empty: sleep.
    std::function<void(std::uint32_t ms)> pause;
    // Told before each attempt, with its speed. May be left empty.
    std::function<void(std::int32_t speed)> attempting;
};

// Tries each speed in turn, again and again (a receiver starting new firmware answers nothing for
// a while), until the receiver answers the handshake and the identity request, the limit has
// passed since the call, or `stop` says so.
Identification IdentifyAgain(const IdentifyRequest& request);

// What a receiver said after a flash that its flasher reported as a success.
enum class AfterFlash {
    Confirmed,      // it runs the new version (and is the receiver flashed)
    NoAnswer,       // it did not answer within the limit: nothing contradicts the flasher
    OtherVersion,   // it runs another version than the firmware file installs
    OtherReceiver,  // another serial number than the one read before the flash
};

// Judges `found` against the version the firmware file installs (VersionFromFileName) and the
// serial number read before the flash (empty: not known, as on the restore road).
AfterFlash JudgeAfterFlash(const Identification& found, const std::string& newVersion,
                           const std::string& serialBefore);

// One line for the operator on what the receiver reported when it contradicts the flasher;
// `oldVersion` (may be empty) is the version it ran before.
std::string AfterFlashLine(AfterFlash verdict, const Identification& found,
                           const std::string& newVersion, const std::string& serialBefore,
                           const std::string& oldVersion);

// Text from the receiver as it may be shown: control characters become caret stand-ins ("\n" ->
// "^J", DEL -> "^?") and bytes outside ASCII become '?', so that no window, terminal or log line
// is steered by what a receiver sends. Printable text comes back unchanged.
std::string VisibleText(const std::string& received);

// The firmware version a firmware file installs: "169-" in front, every '.' made '-', the last
// three characters ("508231.005" -> "005", "" -> "69-").
std::string VersionFromFileName(const std::string& fileName);
