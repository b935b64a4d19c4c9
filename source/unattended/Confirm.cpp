#include "source/unattended/Confirm.h"

#include <chrono>
#include <thread>

#include "comm/Comm.h"
#include "link/Packet.h"
#include "link/ReceiverLink.h"
#include "source/ConnectingDlg.h"
#include "source/ReceiverInfoDlg.h"

namespace {

using Clock = std::chrono::steady_clock;

// Between two attempts: the receiver gets time to start without being asked all the while.
constexpr auto kPauseBetweenAttempts = std::chrono::milliseconds(250);

// One attempt at one speed: true with the version and serial number when both requests were
// answered.
bool AskOnce(std::int32_t port, std::int32_t baud, std::string& version, std::string& serialNumber) {
    ReceiverLink link;
    const CommPortConfig config = ConnectingLine(port, static_cast<std::uint32_t>(baud));
    if (CommOpen(&link.port, &config) != 0) return false;
    std::uint8_t buffer[ReceiverLink::kCapacity + 1];
    PutHandshakeId(BuildRequestHeader(buffer, '?', 8));
    CommWrite(link.port, buffer, AppendChecksum(buffer, 8));
    bool answered = link.CollectReplies(buffer);
    if (answered) {
        link.identity = ReceiverIdentity{};
        BuildRequestHeader(buffer, '-', 0);
        CommWrite(link.port, buffer, AppendChecksum(buffer, 0));
        // Any valid packet counts as an answer to the collection; only an identity reply with a
        // version text says which firmware runs.
        answered = link.CollectReplies(buffer) && link.identity.firmwareVersion[0] != '\0';
        if (answered) {
            version = VisibleText(link.identity.firmwareVersion);
            serialNumber = VisibleText(link.identity.serialNumber);
        }
    }
    CommClose(link.port);
    return answered;
}

}  // namespace

Identification IdentifyAgain(std::int32_t port, const std::vector<std::int32_t>& speeds, std::uint32_t limitMs,
                             const std::function<bool()>& stop) {
    Identification result;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(limitMs);
    auto stopped = [&] { return stop && stop(); };
    while (!result.answered && !stopped() && Clock::now() < deadline) {
        CommStartup();
        for (std::int32_t baud : speeds) {
            ++result.attempts;
            if (AskOnce(port, baud, result.firmwareVersion, result.serialNumber)) {
                result.answered = true;
                result.speed = baud;
                break;
            }
            if (stopped() || Clock::now() >= deadline) break;
        }
        CommCleanup();
        if (!result.answered && !stopped() && Clock::now() + kPauseBetweenAttempts < deadline) {
            std::this_thread::sleep_for(kPauseBetweenAttempts);
        }
    }
    result.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return result;
}
