// The wizard's update and restore roads through the real RunFlasher and the stand-in prog.exe,
// which flashes the simulated receiver through its bootloader.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/ui/WizardHarness.h"
#include "tools/bootloader/SimBootloader.h"

namespace {

using reflasher_test::Wizard;
using ui::headless::HeadlessBackend;

const std::string kChoose = "Choose Connection";
const std::string kInfo = "Receiver Information";
const std::string kRestore = "Restore";
const std::string kDone = "Update Successful";

const std::string kUpdateTail =
    ".  \r\n\r\nRemember you must delete all files off of the receiver before the new firmware "
    "will become "
    "operational. \r\n\r\nWould you like to upgrade another receiver?";

class WizardFlash : public Wizard {
  protected:
    // A receiver with its bootloader on COM `com`.
    sim::ReceiverSim& startFlashableReceiver(int com, const sim::DeviceState& device) {
        receivers.erase(com);
        auto receiver =
            std::make_unique<sim::ReceiverSim>(device, sim::MakeReceiverWithBootloader());
        setenv(("REFLASHER_COM" + std::to_string(com)).c_str(), receiver->SlavePath().c_str(), 1);
        return *(receivers[com] = std::move(receiver));
    }

    // Waits (generously) for a flasher to leave its result file in its run's own folder.
    bool waitForResultFile() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& entry : std::filesystem::directory_iterator(tempDir)) {
                if (std::filesystem::exists(entry.path() / "status.err")) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Waits (generously) until no process works inside the temporary folder any more.
    bool waitForNoFlasher() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            bool busy = false;
            std::error_code ec;
            for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
                const std::string cwd =
                    std::filesystem::read_symlink(process.path() / "cwd", ec).string();
                busy = busy || (!ec && cwd.rfind(tempDir + "/", 0) == 0);
            }
            if (!busy) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // The wizard's failure message with the flasher's own last words under it.
    static std::string reported(int message, const std::string& words) {
        return res::LoadString(message) + std::string("\r\n\r\nThe flasher reported: ") + words;
    }
};

TEST_F(WizardFlash, UpdateAt19200FromTheWizardsOwnFolderThenNo) {
    // prog.exe and 508231.005 lie beside the test program, as beside the wizard.
    sim::ReceiverSim& receiver = startFlashableReceiver(2, {});
    toConnecting(1);
    ui.press(res::idc::kUpdate, kInfo)
        .then([](HeadlessBackend& b) {
            EXPECT_FALSE(b.visible(kInfo));
            EXPECT_TRUE(b.visible(kDone));
            EXPECT_EQ(b.text(kDone, res::idc::kMessage),
                      "Receiver number VIZ12345678 has been successfully upgraded from firmware "
                      "version 004 to 005" +
                          kUpdateTail);
            const ui::Window* w = b.window(kDone);
            EXPECT_FALSE(
                w->control(res::idc::kPrintResults)->visible);  // "Print results" stays hidden
        })
        .press(res::idc::kNo, kDone);  // No
    run();
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Welcome", "open Choose Connection", "open Connecting",
                                        "open Receiver Information", "open Connecting",
                                        "end Connecting OK", "open Update Successful",
                                        "end Update Successful Cancel",
                                        "end Receiver Information Cancel", "end Connecting Cancel",
                                        "end Choose Connection Cancel", "end Welcome Cancel"}));
    EXPECT_TRUE(ui.messageBoxes().empty());
    EXPECT_EQ(receiver.Device().firmwareVersion, "169-508231-005");
    std::string console = consoleText();
    EXPECT_NE(console.find("Connecting on COM2 at 19200 baud"), std::string::npos) << console;
    EXPECT_NE(console.find("Switching to 115200 baud"), std::string::npos) << console;
    EXPECT_FALSE(std::filesystem::exists(tempDir + "/status.err"));  // read and deleted
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(WizardFlash, UpdateAt9600ThenYesAndTheNextReceiver) {
    useRecordingFlasher(true);
    sim::DeviceState device;
    device.ownBaud = 9600;
    device.serialPrefix = "ABC";
    startFlashableReceiver(3, device);
    toConnecting(2);
    ui.press(res::idc::kUpdate, kInfo)
        .then([&](HeadlessBackend& b) {
            EXPECT_EQ(flasherArguments(),
                      surroundings.flasher.programFolder + "/508231.005\n3\nP\n9600\n9600\n");
            EXPECT_EQ(b.text(kDone, res::idc::kMessage),
                      "Receiver number ABC12345678 has been successfully upgraded from firmware "
                      "version 004 to 005" +
                          kUpdateTail);
        })
        .press(res::idc::kYes, kDone)  // Yes: back to the port selection page for the next receiver
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kChoose));
            EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 2);
        })
        .press(res::idc::kPortNext, kChoose)
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(b.text(kInfo, res::idc::kFirmwareVersion), "005");
        })  // the receiver runs 005 now
        .press(res::idc::kCancel, kInfo);
    run();
    EXPECT_TRUE(ui.messageBoxes().empty());
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(WizardFlash, RestoreEachDesignAndAnswerYesOrEscape) {
    useRecordingFlasher(true);
    for (int design : {0, 1}) {
        SCOPED_TRACE(design);
        HeadlessBackend script;
        sim::DeviceState device;
        device.bricked = true;
        sim::ReceiverSim& receiver = startFlashableReceiver(4, device);
        script.press(res::idc::kWelcomeNext, "Welcome")
            .select(res::idc::kPortList, 3, kChoose)
            .press(res::idc::kPortRestore, kChoose);
        if (design == 1) script.press(res::idc::kGreyTop, kRestore);
        script.press(res::idc::kRestore, kRestore).then([&](HeadlessBackend& b) {
            EXPECT_EQ(flasherArguments(),
                      surroundings.flasher.programFolder + "/508231.005\n4\nP\n9600\n9600\n");
            EXPECT_EQ(b.active()->title, kDone);
            EXPECT_EQ(b.text(kDone, res::idc::kMessage)
                          .rfind("The receiver has been successfully restored to firmware version "
                                 "005.  \r\n\r\n",
                                 0),
                      0u);
            EXPECT_FALSE(b.visible(kRestore));
        });
        if (design == 0) {
            script.press(res::idc::kYes, kDone).then([](HeadlessBackend& b) {
                EXPECT_TRUE(b.visible(kChoose));
                EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 3);
            });
            script.escape(kChoose);
        } else {
            script.escape(kDone);  // Escape answers No
        }
        run(script);
        std::vector<std::string> order = script.pageOrder();
        EXPECT_EQ(order[3], "open Connecting");  // the receiver asked again after the flash
        EXPECT_EQ(order[6],
                  design == 0 ? "end Update Successful OK" : "end Update Successful Cancel");
        EXPECT_EQ(order[7], design == 0 ? "end Restore OK" : "end Restore Cancel");
        EXPECT_EQ(order.back(), "end Welcome Cancel");
        EXPECT_FALSE(receiver.Device().bricked);
        EXPECT_EQ(receiver.Device().firmwareVersion, "169-508231-005");
        EXPECT_TRUE(script.messageBoxes().empty());
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
        std::filesystem::remove(tempDir + "/args.log");
    }
}

TEST_F(WizardFlash, MissingFirmwareFileAndFailedUpdate) {
    // No firmware beside prog.exe: it ends at once, message 126, the page comes back. (A flasher
    // that ends at once by itself: the real one starts too slowly under the sanitizers on a
    // loaded machine to be sure of the 500 ms; its own test shows that it ends at once.)
    useRecordingFlasher(false);
    std::filesystem::remove(surroundings.flasher.programFolder + "/prog.exe");
    { std::ofstream(surroundings.flasher.programFolder + "/prog.exe") << "#!/bin/sh\nexit 1\n"; }
    std::filesystem::permissions(surroundings.flasher.programFolder + "/prog.exe",
                                 std::filesystem::perms::owner_all);
    startFlashableReceiver(2, {});
    toConnecting(1);
    ui.press(res::idc::kUpdate, kInfo)
        .answerMessageBox(
            "508231.005 cannot be found.  Make sure the updated firmware file is in the same "
            "directory as the "
            "update utility.\r\n\r\nLooked in: " +
            surroundings.flasher.programFolder)
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kInfo));
            EXPECT_TRUE(b.enabled(kInfo, res::idc::kUpdate));
        })
        .press(res::idc::kCancel, kInfo);
    run();
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];

    // A receiver without a bootloader: prog.exe finds nobody to flash and reports failure (128).
    useRecordingFlasher(true);
    startReceiver(2, {});
    HeadlessBackend script;
    toConnecting(1, script);
    script.press(res::idc::kUpdate, kInfo)
        .answerMessageBox(
            reported(res::ids::kUpdateFailed,
                     "No answer from the receiver's bootloader on COM2 at 19200 baud"))
        .then([](HeadlessBackend& b) { EXPECT_TRUE(b.visible(kInfo)); })
        .press(res::idc::kBack, kInfo)
        .then([](HeadlessBackend& b) { EXPECT_TRUE(b.visible(kChoose)); })
        .escape(kChoose);
    run(script);
    EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
}

TEST_F(WizardFlash, EachRoadWaitsWithItsOwnCompletionLimit) {
    EXPECT_EQ(WizardSurroundings{}.updateCompletionLimitMs, 240000u);
    EXPECT_EQ(WizardSurroundings{}.restoreCompletionLimitMs, 540000u);
    // A flasher that succeeds after two seconds, against a short limit on one road and a long one
    // on the other: only the road with the short limit times out.
    const std::string folder = tempDir + "/wizard";
    std::filesystem::create_directory(folder);
    { std::ofstream(folder + "/prog.exe") << "#!/bin/sh\nsleep 2\nprintf STATUS0 > status.err\n"; }
    std::filesystem::permissions(folder + "/prog.exe", std::filesystem::perms::owner_all);
    surroundings.flasher.programFolder = folder;
    const std::string timedOut =
        res::LoadString(res::ids::kTimedOut) + std::string("\r\n\r\nThe flasher is still running.");
    for (bool shortUpdate : {true, false}) {
        SCOPED_TRACE(shortUpdate ? "short update limit" : "short restore limit");
        surroundings.updateCompletionLimitMs = shortUpdate ? 300 : 60000;
        surroundings.restoreCompletionLimitMs = shortUpdate ? 60000 : 300;
        sim::DeviceState current;  // already runs what the shell flasher claims to write
        current.firmwareVersion = "169-508231-005";
        startReceiver(2, current);
        HeadlessBackend script;
        toConnecting(1, script);
        script.press(res::idc::kUpdate, kInfo);
        if (shortUpdate) {
            script.answerMessageBox(timedOut).press(res::idc::kBack, kInfo);
        } else {
            script.press(res::idc::kYes, kDone);  // Yes: back to the port selection page
        }
        script.then([this](HeadlessBackend&) { EXPECT_TRUE(waitForNoFlasher()); })
            .press(res::idc::kPortRestore, kChoose)
            .press(res::idc::kRestore, kRestore);
        if (shortUpdate) {
            script.press(res::idc::kYes, kDone);
        } else {
            script.answerMessageBox(timedOut).press(res::idc::kBack, kRestore);
        }
        script.then([this](HeadlessBackend&) { EXPECT_TRUE(waitForNoFlasher()); }).escape(kChoose);
        run(script);
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    }
}

TEST_F(WizardFlash, TheReceiverHasTheLastWordAfterTheFlash) {
    // The flasher reports success each time; what the receiver answers afterwards decides.
    struct Case {
        sim::Fault fault;
        bool restore;
        std::string line;  // under the road's failure message; empty: the completion page
    };
    const Case cases[] = {
        {sim::Fault::KeepsOldVersion, false,
         "The receiver still runs firmware version 004, not 005."},
        {sim::Fault::OtherReceiver, false,
         "Another receiver answered after the flash: serial number VIZ12355678, not VIZ12345678."},
        {sim::Fault::KeepsOldVersion, true, "The receiver runs firmware version 004, not 005."},
        {sim::Fault::SlowStart, false, ""},  // silent for a while, then it answers with 005
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(sim::FaultName(c.fault)) + (c.restore ? " restore" : " update"));
        sim::DeviceState device;
        device.fault = c.fault;
        sim::ReceiverSim& receiver = startFlashableReceiver(2, device);
        HeadlessBackend script;
        const std::string page = c.restore ? kRestore : kInfo;
        if (c.restore) {
            script.press(res::idc::kWelcomeNext, "Welcome")
                .select(res::idc::kPortList, 1, kChoose)
                .press(res::idc::kPortRestore, kChoose)
                .press(res::idc::kRestore, kRestore);
        } else {
            toConnecting(1, script);
            script.press(res::idc::kUpdate, kInfo);
        }
        if (c.line.empty()) {
            script.then([](HeadlessBackend& b) {
                EXPECT_EQ(b.text(kDone, res::idc::kMessage)
                              .rfind("Receiver number VIZ12345678 has been successfully upgraded "
                                     "from firmware version 004 to 005.",
                                     0),
                          0u);
            });
            script.press(res::idc::kNo, kDone);
        } else {
            script
                .answerMessageBox(res::LoadString(c.restore ? res::ids::kRestoreFailed
                                                            : res::ids::kUpdateFailed) +
                                  std::string("\r\n\r\n") + c.line)
                .then([&](HeadlessBackend& b) {
                    EXPECT_TRUE(b.visible(page));
                    EXPECT_FALSE(b.window(kDone));
                })
                .escape(page);
        }
        run(script);
        // Between the flasher and the verdict the connecting page's template said what was going
        // on.
        const std::vector<std::string> order = script.pageOrder();
        EXPECT_NE(std::find(order.begin() + 3, order.end(), "open Connecting"), order.end());
        EXPECT_EQ(receiver.Device().firmwareVersion,
                  c.fault == sim::Fault::KeepsOldVersion ? "169-508231-004" : "169-508231-005");
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    }
}

TEST_F(WizardFlash, TimedOutUpdateAndFailedRestore) {
    // A completion limit far below the flash's length: message 125, and the flasher runs on.
    surroundings.updateCompletionLimitMs = 200;
    sim::ReceiverSim& receiver = startFlashableReceiver(2, {});
    toConnecting(1);
    ui.press(res::idc::kUpdate, kInfo)
        .answerMessageBox(res::LoadString(res::ids::kTimedOut) +
                          std::string("\r\n\r\nThe flasher is still running."))
        .then([](HeadlessBackend& b) { EXPECT_TRUE(b.visible(kInfo)); })
        .escape(kInfo);
    run();
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
    ASSERT_TRUE(waitForResultFile());  // the flasher finished on its own, after the wizard gave up
    EXPECT_EQ(receiver.Device().firmwareVersion, "169-508231-005");
    ASSERT_TRUE(waitForNoFlasher());

    // Restore through a COM port with nothing behind it: prog.exe reports failure (129).
    HeadlessBackend script;
    script.press(res::idc::kWelcomeNext, "Welcome")
        .press(res::idc::kPortRestore, kChoose)
        .press(res::idc::kRestore, kRestore)
        .answerMessageBox(
            reported(res::ids::kRestoreFailed,
                     "COM1: cannot open " + tempDir + "/no-port-1: No such file or directory"))
        .then([](HeadlessBackend& b) { EXPECT_TRUE(b.visible(kRestore)); })
        .press(res::idc::kBack, kRestore)
        .press(res::idc::kCancel, kChoose);
    run(script);
    EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    // The late flasher's folder went once the wizard saw it had ended; the restore's went with it.
    for (const auto& entry : std::filesystem::directory_iterator(tempDir))
        EXPECT_EQ(entry.path().filename().string().rfind("reflasher-", 0), std::string::npos)
            << entry.path();
}

}  // namespace
