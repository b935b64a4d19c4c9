// prog.exe: the stand-in flasher. Keeps the wizard's flasher contract:
//   prog.exe "<folder>/508231.005" <COM port> P <connect speed> <transfer speed>
// - a firmware file that cannot be opened ends it at once, writing nothing;
// - in every other case it runs for at least a second (so the wizard does not mistake a quick
//   failure for a missing file) and leaves status.err in its current folder, which the wizard
//   makes the temporary folder: "STATUS" then '0' on success, or another code and the reason.
// It refuses a damaged image before it touches the receiver, then talks to the receiver's
// bootloader: Sync at the connect speed, switch to the transfer speed, erase, write in checked
// blocks with retries, verify the CRC-32 and start the new firmware. Escape or Ctrl+C during the
// erase or the writing asks first (a stop there leaves the receiver without firmware) and stops
// on y or a second Ctrl+C; SIGTERM and SIGHUP stop it at once.
//
// Test hook: REFLASHER_PROG_HOLD_AFTER=<n> makes it wait after n written blocks until it is
// interrupted (at most a minute), so that tests can interrupt a write at a known point.
// REFLASHER_PROG_IGNORE_TERM (POSIX) makes it ignore SIGTERM, as a flasher that will not be
// stopped.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/bootloader/BootProtocol.h"
#include "tools/bootloader/FirmwareImage.h"
#include "tools/prog/BootClient.h"
#include "tools/prog/Console.h"
#include "tools/prog/ResultFile.h"
#include "tools/prog/SerialLine.h"

namespace {

using Clock = std::chrono::steady_clock;

// Result codes: the seventh byte of status.err.
constexpr char kSucceeded = '0';
constexpr char kNoReceiver = '1';
constexpr char kBadImage = '2';
constexpr char kInterrupted = '3';
constexpr char kTransferFailed = '4';
constexpr char kVerifyFailed = '5';
constexpr char kUsage = '9';

constexpr auto kMinimumRun = std::chrono::milliseconds(1000);
constexpr int kConnectTries = 27;  // Sync every 300 ms for about 8 s
constexpr int kBlockTries = 5;

const Clock::time_point gStart = Clock::now();

// Writes status.err (atomically, see ResultFile.h), waits out the minimum run and returns the
// exit code.
int Finish(char code, const std::string& reason) {
    std::fprintf(code == kSucceeded ? stdout : stderr, "%s\n", reason.c_str());
    std::fflush(nullptr);
    std::string error;
    if (!WriteResultFile(std::string("STATUS") + code + ' ' + reason + '\n', error))
        std::fprintf(stderr, "prog.exe: cannot write status.err: %s\n", error.c_str());
    std::this_thread::sleep_until(gStart + kMinimumRun);
    return code == kSucceeded ? 0 : 1;
}

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

std::optional<std::vector<std::uint8_t>> ReadFile(const std::string& path) {
    std::FILE* file = OpenForReading(path);
    if (file == nullptr) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > firmware::kMaxPayload + firmware::kHeaderSize)
            break;  // too big to be ours
    }
    std::fclose(file);
    return bytes;
}

std::vector<std::uint8_t> Le32(std::uint32_t value) {
    std::vector<std::uint8_t> bytes(4);
    firmware::PutLe32(bytes.data(), value);
    return bytes;
}

}  // namespace

int main(int argc, char** arguments) {
    const std::vector<std::string> args = ProgramArguments(argc, arguments);
    std::vector<const char*> argv;
    for (const std::string& argument : args) argv.push_back(argument.c_str());
    long port = 0, connect = 0, transfer = 0;
    if (argv.size() != 6 || std::strcmp(argv[3], "P") != 0 || !ParseNumber(argv[2], 1, 255, port) ||
        !ParseNumber(argv[4], 1, 4000000, connect) || !ParseNumber(argv[5], 1, 4000000, transfer)) {
        return Finish(
            kUsage,
            "usage: prog.exe \"<firmware file>\" <COM port> P <connect speed> <transfer speed>");
    }

    // The firmware file is looked at before anything goes to the console: a new console window
    // can take longer to show the first line than the wizard's 500 ms for a missing file.
    const std::optional<std::vector<std::uint8_t>> image = ReadFile(argv[1]);
    if (!image) {
        SayBeforeQuickEnd(std::string("Cannot open the firmware file ") + argv[1] + ": " +
                          std::strerror(errno));
        return 1;  // at once: the wizard reads a quick end as a missing file
    }
    // No heading of our own: the console the wizard opens for us carries "Installing Firmware".
    const firmware::ImageCheck check = firmware::CheckImage(*image);
    if (!check.ok)
        return Finish(kBadImage, std::string("Refused ") + argv[1] + ": " + check.reason);
    const auto imageLength = static_cast<std::uint32_t>(image->size());
    std::printf("Firmware %s, %u bytes\n", check.version.c_str(), imageLength);

    Keyboard keyboard;
    SerialLine line;
    std::string error;
    if (!line.Open(static_cast<int>(port), static_cast<std::uint32_t>(connect), error))
        return Finish(kNoReceiver, "COM" + std::to_string(port) + ": " + error);
    BootClient client(line, [&keyboard] { return keyboard.Interrupted(); });
    auto stopped = [&](const char* phase) {
        const bool erased = std::strcmp(phase, "connecting") != 0;
        return Finish(
            kInterrupted,
            std::string("Stopped by the operator during ") + phase +
                (erased ? "; the receiver has no firmware now: cycle its power and use Restore."
                        : "; nothing was erased."));
    };
    auto lost = [&](const std::string& what) {
        return Finish(client.LineFailed() ? kNoReceiver : kTransferFailed,
                      std::string(client.LineFailed() ? "The serial line failed "
                                                      : "The receiver stopped answering ") +
                          what);
    };

    std::printf("Connecting on COM%ld at %ld baud...\n", port, connect);
    std::fflush(stdout);
    auto sync = client.Transact(boot::kSync, {}, 300, kConnectTries);
    if (client.WasInterrupted()) return stopped("connecting");
    if (!sync || sync->data[0] != boot::kOk)
        return Finish(kNoReceiver, "No answer from the receiver's bootloader on COM" +
                                       std::to_string(port) + " at " + std::to_string(connect) +
                                       " baud");
    std::uint32_t block = boot::kMaxBlock;
    if (sync->data.size() >= 3)
        block = std::min<std::uint32_t>(block, sync->data[1] | sync->data[2] << 8);
    if (block == 0) block = 64;
    if (sync->data.size() > 4) {
        std::printf("The receiver runs %s\n",
                    std::string(sync->data.begin() + 4, sync->data.end()).c_str());
    } else {
        std::printf("The receiver holds no valid firmware\n");
    }

    if (transfer != connect) {
        std::printf("Switching to %ld baud...\n", transfer);
        std::fflush(stdout);
        const auto speed =
            client.Transact(boot::kSpeed, Le32(static_cast<std::uint32_t>(transfer)), 1000, 1);
        if (client.WasInterrupted()) return stopped("connecting");
        if (speed && speed->data[0] != boot::kOk)
            return Finish(kNoReceiver,
                          "The receiver refused " + std::to_string(transfer) + " baud");
        // Without the reply the receiver may still have switched: try the new speed either way.
        if (!line.SetSpeed(static_cast<std::uint32_t>(transfer)))
            return Finish(kNoReceiver, "COM" + std::to_string(port) + " does not take " +
                                           std::to_string(transfer) + " baud");
        sync = client.Transact(boot::kSync, {}, 300, 7);
        if (client.WasInterrupted()) return stopped("connecting");
        if (!sync || sync->data[0] != boot::kOk)
            return Finish(kNoReceiver,
                          "No answer from the receiver at " + std::to_string(transfer) + " baud");
    }

    keyboard
        .AskBeforeStopping();  // from the erase on, stopping leaves the receiver without firmware
    std::printf("Erasing...\n");
    std::fflush(stdout);
    const auto erase = client.Transact(boot::kErase, Le32(imageLength), 15000, 1);
    if (client.WasInterrupted()) return stopped("the erase");
    if (!erase) return lost("during the erase");
    if (erase->data[0] != boot::kOk)
        return Finish(kTransferFailed, "The receiver refused to erase (status " +
                                           std::to_string(erase->data[0]) + ")");

    long holdAfter = -1;
    if (const char* hold = std::getenv("REFLASHER_PROG_HOLD_AFTER"))
        ParseNumber(hold, 0, 1000000, holdAfter);
    ProgressBar progress(stdout, imageLength);
    progress.Update(0);
    std::uint32_t offset = 0;
    long blocksWritten = 0;
    while (offset < imageLength) {
        if (blocksWritten == holdAfter) {
            std::printf("\n(holding the write for a test)\n");
            std::fflush(stdout);
            const auto until = Clock::now() + std::chrono::minutes(1);
            while (!keyboard.Interrupted() && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (keyboard.Interrupted()) {
            progress.Finish();
            return stopped("the writing");
        }
        const std::uint32_t count = std::min(block, imageLength - offset);
        std::vector<std::uint8_t> request = Le32(offset);
        request.insert(request.end(), image->begin() + offset, image->begin() + offset + count);
        const auto reply = client.Transact(boot::kWrite, request, 1000, kBlockTries);
        if (client.WasInterrupted()) {
            progress.Finish();
            return stopped("the writing");
        }
        if (!reply || reply->data.size() < 5) {
            progress.Finish();
            return lost("while writing at byte " + std::to_string(offset));
        }
        const std::uint32_t next = firmware::GetLe32(reply->data.data() + 1);
        if (reply->data[0] == boot::kOk) {
            offset = offset + count;
            ++blocksWritten;
        } else if (reply->data[0] == boot::kOutOfOrder && next < offset) {
            offset = next;  // the receiver lost a block: go back to where it stands
        } else {
            progress.Finish();
            return Finish(kTransferFailed, "The receiver refused the block at byte " +
                                               std::to_string(offset) + " (status " +
                                               std::to_string(reply->data[0]) + ")");
        }
        if (!keyboard.Asking()) progress.Update(offset);
    }
    progress.Finish();

    std::printf("Verifying...\n");
    std::fflush(stdout);
    const auto verify = client.Transact(boot::kVerify, {}, 2000, 3);
    const std::uint32_t expected = firmware::Crc32(image->data(), image->size());
    if (!verify || verify->data.size() < 5) return lost("during the verification");
    if (verify->data[0] != boot::kOk || firmware::GetLe32(verify->data.data() + 1) != expected)
        return Finish(kVerifyFailed,
                      "The written firmware does not match the image (CRC-32 mismatch)");

    std::printf("Starting the new firmware...\n");
    std::fflush(stdout);
    const auto run = client.Transact(boot::kRun, {}, 2000, 3);
    if (!run) return lost("when asked to start the new firmware");
    if (run->data[0] != boot::kOk)
        return Finish(kVerifyFailed, "The receiver refused to start the new firmware");
    return Finish(kSucceeded, "The receiver now runs firmware " + check.version + ".");
}
