// The receiver conversation shared by the connecting page, the check after a flash and the
// service bench.
#include "link/Conversation.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/Packet.h"
#include "link/ReceiverLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kHandshakeCommand = '?';
constexpr std::uint8_t kIdentityCommand = '-';
constexpr std::uint8_t kPowerCommand = 'F';
constexpr std::uint8_t kPowerSubCode = 3;

// Between two rounds: the receiver gets time to start without being asked all the while.
constexpr std::uint32_t kPauseBetweenRoundsMs = 250;

std::string LastThree(const std::string& s) {
    return s.size() <= 3 ? s : s.substr(s.size() - 3);
}

void Pause(const IdentifyRequest& request, std::uint32_t ms) {
    if (request.pause) {
        request.pause(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

// One attempt at one speed: true with the identity when both requests were answered.
bool AskOnce(const IdentifyRequest& request, std::int32_t baud, Identification& found) {
    ReceiverLink link;
    if (request.pause) {
        link.pauseHook = [](void* context, std::uint32_t ms) {
            (*static_cast<const std::function<void(std::uint32_t)>*>(context))(ms);
        };
        link.pauseHookContext = const_cast<std::function<void(std::uint32_t)>*>(&request.pause);
    }
    const CommPortConfig config = ConnectingLine(request.port, static_cast<std::uint32_t>(baud));
    if (CommOpen(&link.port, &config) != 0) return false;
    std::uint8_t buffer[ReceiverLink::kCapacity + 1];
    CommWrite(link.port, buffer, BuildHandshakeRequest(buffer));
    bool answered = link.CollectReplies(buffer);
    if (answered) {
        link.identity = ReceiverIdentity{};
        CommWrite(link.port, buffer, BuildIdentityRequest(buffer));
        // Any valid packet counts as an answer to the collection; only an identity reply with a
        // version text says which firmware runs.
        answered = link.CollectReplies(buffer) && link.identity.firmwareVersion[0] != '\0';
        if (answered) {
            found.serialNumber = VisibleText(link.identity.serialNumber);
            found.firmwareVersion = VisibleText(link.identity.firmwareVersion);
        }
    }
    CommClose(link.port);
    return answered;
}

}  // namespace

CommPortConfig ConnectingLine(std::int32_t port, std::uint32_t baud) {
    CommPortConfig config{};
    config.port = port;
    config.baud = baud;
    config.dataBits = 8;
    config.parity = 0;
    config.stopBits = 1;
    config.xonXoff = 0;
    config.ctsHandshake = 0;
    config.dsrHandshake = 0;
    config.spare[0] = 0;
    config.spare[1] = 0;
    config.spare[2] = 5000;
    config.spare[3] = 3000;
    config.spare[4] = 3000;
    return config;
}

std::uint16_t BuildHandshakeRequest(std::uint8_t* buffer) {
    PutHandshakeId(BuildRequestHeader(buffer, kHandshakeCommand, 8));
    return AppendChecksum(buffer, 8);
}

std::uint16_t BuildIdentityRequest(std::uint8_t* buffer) {
    BuildRequestHeader(buffer, kIdentityCommand, 0);
    return AppendChecksum(buffer, 0);
}

std::uint16_t BuildPowerRequest(std::uint8_t* buffer) {
    BuildRequestHeader(buffer, kPowerCommand, 1)[0] = kPowerSubCode;
    return AppendChecksum(buffer, 1);
}

std::vector<std::int32_t> SpeedsStartingWith(std::int32_t first) {
    if (first == 9600) return {9600, 19200};
    return {19200, 9600};
}

Identification IdentifyAgain(const IdentifyRequest& request) {
    Identification found;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(request.limitMs);
    auto stopped = [&] { return request.stop && request.stop(); };
    while (!found.answered && !stopped() && Clock::now() < deadline) {
        CommStartup();
        for (std::int32_t baud : request.speeds) {
            ++found.attempts;
            if (request.attempting) request.attempting(baud);
            if (AskOnce(request, baud, found)) {
                found.answered = true;
                found.speed = baud;
                break;
            }
            if (stopped() || Clock::now() >= deadline) break;
        }
        CommCleanup();
        if (!found.answered && !stopped() &&
            Clock::now() + std::chrono::milliseconds(kPauseBetweenRoundsMs) < deadline) {
            Pause(request, kPauseBetweenRoundsMs);
        }
    }
    found.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return found;
}

AfterFlash JudgeAfterFlash(const Identification& found, const std::string& newVersion,
                           const std::string& serialBefore) {
    if (!found.answered) return AfterFlash::NoAnswer;
    if (!serialBefore.empty() && found.serialNumber != serialBefore)
        return AfterFlash::OtherReceiver;
    return LastThree(found.firmwareVersion) == newVersion ? AfterFlash::Confirmed
                                                          : AfterFlash::OtherVersion;
}

std::string AfterFlashLine(AfterFlash verdict, const Identification& found,
                           const std::string& newVersion, const std::string& serialBefore,
                           const std::string& oldVersion) {
    switch (verdict) {
        case AfterFlash::OtherReceiver:
            return "Another receiver answered after the flash: serial number " +
                   found.serialNumber + ", not " + serialBefore + ".";
        case AfterFlash::OtherVersion:
            if (!oldVersion.empty() && LastThree(found.firmwareVersion) == oldVersion) {
                return "The receiver still runs firmware version " + oldVersion + ", not " +
                       newVersion + ".";
            }
            return "The receiver runs firmware version " + LastThree(found.firmwareVersion) +
                   ", not " + newVersion + ".";
        case AfterFlash::Confirmed:
        case AfterFlash::NoAnswer:
            break;
    }
    return {};
}

std::string VisibleText(const std::string& received) {
    std::string shown;
    for (char c : received) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += '^';
            shown += static_cast<char>(byte ^ 0x40);
        } else {
            shown += byte < 0x80 ? c : '?';
        }
    }
    return shown;
}

std::string VersionFromFileName(const std::string& fileName) {
    std::string s = "169-" + fileName;
    std::replace(s.begin(), s.end(), '.', '-');
    return LastThree(s);
}
