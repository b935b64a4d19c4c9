// The wizard's pages end to end: the headless operator, the real engine and link, the simulated
// receiver on a pseudo-terminal (COM n mapped through REFLASHER_COM<n>) and the real RunFlasher.
#include "tests/ui/WizardHarness.h"

#include <algorithm>
#include <climits>
#include <fstream>

#include <sys/file.h>
#include <sys/stat.h>

#include <fmt/printf.h>

#include "tools/receiver-sim/ReceiverProtocol.h"

#include "comm/CommInternal.h"
#include "comm/platform/Sync.h"
#include "tests/comm/FakeLine.h"

namespace {

using reflasher_test::Wizard;
using ui::headless::HeadlessBackend;

const std::string kWelcome = "Welcome";
const std::string kChoose = "Choose Connection";
const std::string kConnecting = "Connecting";
const std::string kInfo = "Receiver Information";
const std::string kRestore = "Restore";

TEST_F(Wizard, WelcomeAnimationAboutBoxMinimisedPaintAndBack) {
    ReflasherDlg::SetAnimationCounter(1);  // as at program start
    ui.letTimePass(125)
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(b.picture(kWelcome, res::idc::kAnimation), res::idb::kAnimation[0]);
        })
        .letTimePass(15 * 125)
        .then([](HeadlessBackend& b) {
            // Ticks 1..8 show the eight frames; ticks 9..16 leave the last in place.
            const auto& f = res::idb::kAnimation;
            EXPECT_EQ(b.pictureHistory(kWelcome, res::idc::kAnimation),
                      (std::vector<int>{f[0], f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]}));
        })
        .letTimePass(125)
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(b.picture(kWelcome, res::idc::kAnimation), res::idb::kAnimation[0]);
        })  // tick 17
        .press(res::idc::kWelcomeNext, kWelcome)
        .letTimePass(5000)  // the animation stands still behind the port selection page
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(ReflasherDlg::AnimationCounter(), 18);
            EXPECT_TRUE(b.visible(kWelcome));
        })
        .press(res::idc::kBack, kChoose)  // Back
        .letTimePass(125)
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(b.picture(kWelcome, res::idc::kAnimation), res::idb::kAnimation[1]);
        })  // counter went on at 18
        .then([](HeadlessBackend& b) {
            const ui::Window* w = b.window(kWelcome);
            ASSERT_EQ(w->windowMenu.size(), 2u);
            EXPECT_EQ(w->windowMenu[0].command, 0u);
            EXPECT_EQ(w->windowMenu[1].command, 16u);
            EXPECT_EQ(w->windowMenu[1].text, "&About Firmware...");
            EXPECT_EQ(w->largeIcon, res::idi::kApplication);
            EXPECT_EQ(w->smallIcon, res::idi::kApplication);
            EXPECT_EQ(b.picture(kWelcome, res::idc::kLogo), res::idi::kLogo);
            EXPECT_EQ(
                b.text(kWelcome, res::idc::kInstructions)
                    .rfind("This utility will update the firmware on your Vandrel receiver.  ", 0),
                0u);
        })
        .windowMenu(16, kWelcome)
        .press(res::idc::kOk, "About Reflasher")
        .windowMenu(ui::kScMinimize, kWelcome)
        .escape(kWelcome);
    run();
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Welcome", "open Choose Connection",
                                        "end Choose Connection OK", "open About Reflasher",
                                        "end About Reflasher OK", "end Welcome Cancel"}));
    // The icon drawn centred in the client area of the minimised page (390 x 284 pixels).
    EXPECT_EQ(ui.drawnIcons(),
              (std::vector<std::string>{"Welcome " + std::to_string(res::idi::kApplication) +
                                        " 179 126"}));
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, AnimationCounterWrapsWithoutOverflow) {
    ReflasherDlg::SetAnimationCounter(INT32_MAX - 1);  // INT32_MAX - 1 = 16k + 14: nothing changes
    ui.letTimePass(3 * 125).escape();
    run();
    EXPECT_EQ(ReflasherDlg::AnimationCounter(), INT32_MIN + 1);
    // INT32_MAX % 16 = 15, INT32_MIN % 16 = 0: no frame is loaded; the creation frame stays.
    EXPECT_EQ(ui.pictureHistory(kWelcome, res::idc::kAnimation),
              (std::vector<int>{res::idb::kAnimation[0]}));
}

TEST_F(Wizard, ReceiverAt19200IsShownAndBackKeepsTheSelection) {
    startReceiver(2, {});
    toConnecting(1);
    ui.then([](HeadlessBackend& b) {
          EXPECT_TRUE(b.visible(kInfo));
          EXPECT_FALSE(b.visible(kChoose));
          EXPECT_FALSE(b.visible(kConnecting));
          EXPECT_EQ(b.textHistory(kConnecting, res::idc::kMessage),
                    (std::vector<std::string>{"Connecting at 19200...",
                                              "Getting receiver information..."}));
          EXPECT_EQ(b.text(kInfo, res::idc::kSerialNumber), "VIZ12345678");
          EXPECT_EQ(b.text(kInfo, res::idc::kFirmwareVersion), "004");
          EXPECT_EQ(b.text(kInfo, res::idc::kConnection),
                    "The receiver is connected to your PC COM port 2 at a baud rate of 19200.");
          EXPECT_NE(b.text(kInfo, res::idc::kInstructions)
                        .find("from the current version to version 005.\r\n"),
                    std::string::npos);
      })
        .press(res::idc::kBack, kInfo)  // Back
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kChoose));
            EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 1);
        })
        .press(res::idc::kCancel, kChoose);
    run();
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Welcome", "open Choose Connection", "open Connecting",
                                        "open Receiver Information", "end Receiver Information OK",
                                        "end Connecting OK", "end Choose Connection Cancel",
                                        "end Welcome Cancel"}));
    EXPECT_TRUE(ui.messageBoxes().empty());
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, ReceiverAt9600AfterTheFallBack) {
    // At 19200 the receiver answers the handshake with noise, which the collection reads into the
    // handshake buffer; the request sent again at 9600 must still be the real one.
    sim::DeviceState device;
    device.ownBaud = 9600;
    device.firmwareVersion = "16";  // shorter than three characters: shown whole
    sim::ReceiverSim& receiver = startReceiver(3, device);
    toConnecting(2);
    ui.then([&](HeadlessBackend& b) {
          EXPECT_EQ(b.textHistory(kConnecting, res::idc::kMessage),
                    (std::vector<std::string>{"Connecting at 19200...", "Connecting at 9600...",
                                              "Getting receiver information..."}));
          EXPECT_EQ(b.text(kInfo, res::idc::kConnection),
                    "The receiver is connected to your PC COM port 3 at a baud rate of 9600.");
          EXPECT_EQ(b.text(kInfo, res::idc::kFirmwareVersion), "16");
          EXPECT_EQ(receiver.Count().baud, 9600u);
      }).escape(kInfo);
    run();
    EXPECT_EQ(ui.pageOrder().back(), "end Welcome Cancel");
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, AFrontEndsPortIsSelectedWhenThePageOpensAndTheReceiverIsReported) {
    // reflasher --port PATH maps the device to a COM port and has it selected; the operator only
    // presses Next. The connecting page tells its observer what it hands on.
    sim::DeviceState device;
    device.batteryLevel = 3650;
    startReceiver(3, device);
    surroundings.firstPortIndex = 2;
    std::vector<ReceiverFound> found;
    surroundings.receiverFound = [&found](const ReceiverFound& r) { found.push_back(r); };
    ui.press(res::idc::kWelcomeNext, "Welcome")
        .then([](HeadlessBackend& b) { EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 2); })
        .press(res::idc::kPortNext, kChoose)
        .then([](HeadlessBackend& b) {
            EXPECT_EQ(b.text(kInfo, res::idc::kConnection),
                      "The receiver is connected to your PC COM port 3 at a baud rate of 19200.");
        })
        .escape(kInfo);
    run();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].port, 3);
    EXPECT_EQ(found[0].connectSpeed, 19200);
    EXPECT_EQ(found[0].serialNumber, "VIZ12345678");
    EXPECT_EQ(found[0].firmwareVersion, "169-508231-004");
    EXPECT_EQ(found[0].batteryLevel, 3650);
    EXPECT_EQ(found[0].externalPower, 0);
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, PortThatCannotBeOpenedAndASecondPaint) {
    // COM1 names a device that does not exist.
    toConnecting(0);
    ui.then([](HeadlessBackend& b) { EXPECT_TRUE(b.visible(kConnecting)); })
        .repaint()  // the connecting page is painted again while the message is up
        .answerMessageBox(res::LoadString(res::ids::kPortNotOpened) + std::string("\r\n\r\n") +
                          tempDir + "/no-port-1: No such file or directory.")
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kChoose));
            EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 0);
        })
        .escape(kChoose);
    run();
    ASSERT_EQ(ui.messageBoxes().size(), 1u);  // a second sequence would have shown 108 again
    EXPECT_EQ(ui.messageBoxes()[0].caption, programName());
    EXPECT_EQ(ui.messageBoxes()[0].icon, ui::MessageIcon::Exclamation);
    EXPECT_EQ(ui.textHistory(kConnecting, res::idc::kMessage),
              (std::vector<std::string>{"Connecting at 19200..."}));
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, APortInUseOrForbiddenSaysSo) {
    // Another program holds the device.
    sim::ReceiverSim& receiver = startReceiver(3, {});
    const int holder = open(receiver.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    toConnecting(2);
    ui.answerMessageBox(res::LoadString(res::ids::kPortNotOpened) + std::string("\r\n\r\n") +
                        receiver.SlavePath() + ": in use by another program.");
    // A device this user may not open (only a user who is not root can be refused).
    const std::string forbidden = tempDir + "/forbidden";
    std::ofstream(forbidden) << "";
    chmod(forbidden.c_str(), 0);
    setenv("REFLASHER_COM4", forbidden.c_str(), 1);
    ui.select(res::idc::kPortList, 3, kChoose).press(res::idc::kPortNext, kChoose);
    if (geteuid() == 0) {
        ui.answerMessageBox();  // root opens it; it is no tty, so the line settings are refused
    } else {
        ui.answerMessageBox(
            res::LoadString(res::ids::kPortNotOpened) + std::string("\r\n\r\n") + forbidden +
            ": Permission denied; add this user to the group that owns the device (dialout on "
            "Debian: sudo adduser $USER dialout) and log in again.");
    }
    ui.escape(kChoose);
    run();
    close(holder);
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, NoReceiverBringsThePortSelectionBack) {
    sim::DeviceState device;
    device.fault = sim::Fault::Silent;
    startReceiver(4, device);
    toConnecting(3);
    ui.answerMessageBox(res::LoadString(res::ids::kNoReceiver))
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kChoose));
            EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 3);
        })
        .press(res::idc::kCancel, kChoose);
    run();
    EXPECT_EQ(ui.textHistory(kConnecting, res::idc::kMessage),
              (std::vector<std::string>{"Connecting at 19200...", "Connecting at 9600..."}));
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Welcome", "open Choose Connection", "open Connecting",
                                        "end Connecting OK", "end Choose Connection Cancel",
                                        "end Welcome Cancel"}));
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

// Silent lines that record what the connecting page asks of them: one for each open.
commtest::FakeLine gSilentLines[2];
int gSilentLinesOpened = 0;
comm::platform::LineDevice* OpenSilentLine(std::int32_t, void*) {
    return gSilentLinesOpened < 2 ? &gSilentLines[gSilentLinesOpened++] : nullptr;
}

TEST_F(Wizard, TheConnectingPageAsksFor8N1WithoutHandshakingAt19200Then9600) {
    // A pseudo-terminal keeps 8 data bits and no parity whatever it is asked: these lines record
    // it.
    comm::platform::SetLineDeviceFactory(&OpenSilentLine);
    toConnecting(3);
    ui.answerMessageBox(res::LoadString(res::ids::kNoReceiver)).escape(kChoose);
    run();
    comm::platform::SetLineDeviceFactory(nullptr);
    ASSERT_EQ(gSilentLinesOpened, 2);
    const std::uint32_t speeds[] = {19200, 9600};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(gSilentLines[i].statesSet.size(), 1u);
        const comm::platform::LineState& state = gSilentLines[i].statesSet[0];
        EXPECT_EQ(state.BaudRate, speeds[i]);
        EXPECT_EQ(state.ByteSize, 8);
        EXPECT_EQ(state.Parity, comm::platform::kNoParity);
        EXPECT_EQ(state.StopBits, comm::platform::kOneStopBit);
        EXPECT_EQ(state.fOutxCtsFlow | state.fOutxDsrFlow | state.fDsrSensitivity | state.fOutX |
                      state.fInX,
                  0u);
    }
    // The record the port kept (the slot keeps it after closing): port 4, the spare words as set.
    const CommPortConfig& kept = CommPortTable[0].config;
    EXPECT_EQ(kept.port, 4);
    EXPECT_EQ(kept.baud, 9600u);
    EXPECT_EQ(kept.dataBits, 8);
    EXPECT_EQ(kept.stopBits, 1);
    EXPECT_EQ(std::vector<std::uint32_t>(std::begin(kept.spare), std::end(kept.spare)),
              (std::vector<std::uint32_t>{0, 0, 5000, 3000, 3000}));
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, UnansweredInformationEndsTheWizard) {
    // Power answered without a whole power reply (another sub-code, a cut-off reply) is no answer
    // either: never a flat battery, nor values the page never received.
    for (sim::Fault fault : {sim::Fault::NoPower, sim::Fault::HandshakeOnly,
                             sim::Fault::OtherSubCode, sim::Fault::Truncated}) {
        SCOPED_TRACE(sim::FaultName(fault));
        HeadlessBackend script;
        sim::DeviceState device;
        device.fault = fault;
        startReceiver(2, device);
        toConnecting(1, script);
        script.answerMessageBox(res::LoadString(res::ids::kNoInformation));
        run(script);
        EXPECT_EQ(script.pageOrder(),
                  (std::vector<std::string>{"open Welcome", "open Choose Connection",
                                            "open Connecting", "end Connecting Cancel",
                                            "end Choose Connection Cancel", "end Welcome Cancel"}));
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    }
}

TEST_F(Wizard, PowerCheck) {
    struct Case {
        bool external;
        std::int32_t level;
        bool accepted;
    };
    // No prog.exe in the program folder: an accepted check ends in message 120 and the page again.
    useEmptyProgramFolder();
    for (Case c : {Case{false, 3599, false}, Case{false, -1, false}, Case{false, INT32_MIN, false},
                   Case{false, 3600, true}, Case{true, 0, true}}) {
        SCOPED_TRACE(std::to_string(c.external) + " " + std::to_string(c.level));
        HeadlessBackend script;
        sim::DeviceState device;
        device.externalPower = c.external;
        device.batteryLevel = c.level;
        startReceiver(2, device);
        toConnecting(1, script);
        script.press(res::idc::kUpdate, kInfo);
        if (c.accepted) {
            script.answerMessageBox(
                "prog.exe cannot be found.  Make sure this file is in the same directory as the "
                "update utility."
                "\r\n\r\nLooked in: " +
                tempDir + "/empty");
        } else {
            script.answerMessageBox(res::LoadString(res::ids::kLowBattery));
        }
        script
            .then([&](HeadlessBackend& b) {
                EXPECT_TRUE(b.visible(kInfo));
                EXPECT_EQ(b.enabled(kInfo, res::idc::kUpdate), c.accepted);
            })
            .escape(kInfo);
        run(script);
        EXPECT_EQ(script.messageBoxes().size(), 1u);
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    }
}

TEST_F(Wizard, RefusedPowerDisablesUpdateUntilTheNextVisit) {
    sim::DeviceState device;
    device.batteryLevel = 100;
    startReceiver(2, device);
    toConnecting(1);
    ui.press(res::idc::kUpdate, kInfo)
        .answerMessageBox(res::LoadString(res::ids::kLowBattery))
        .enter(kInfo)  // the default button is disabled now: nothing happens
        .press(res::idc::kBack, kInfo)
        .press(res::idc::kPortNext, kChoose)
        .then([](HeadlessBackend& b) { EXPECT_TRUE(b.enabled(kInfo, res::idc::kUpdate)); })
        .press(res::idc::kCancel, kInfo);
    run();
    EXPECT_EQ(ui.messageBoxes().size(), 1u);
    ASSERT_EQ(ui.errors().size(), 1u);
    EXPECT_NE(ui.errors()[0].find("disabled"), std::string::npos);
}

TEST_F(Wizard, SerialNumbersChooseTheFirmwareFile) {
    // The table names one file twice; named apart, the choice shows in the version text 121 names.
    surroundings.firmwareNames = [](int id) { return "508231." + std::to_string(id); };
    const std::string looked = "\r\n\r\nLooked in: " + binFolder().string();
    for (auto [prefix, version] : {std::pair{"VIZ", "102"}, {"viz", "103"}, {"ABC", "103"}}) {
        SCOPED_TRACE(prefix);
        HeadlessBackend script;
        sim::DeviceState device;
        device.serialPrefix = prefix;
        startReceiver(2, device);
        toConnecting(1, script);
        script
            .then([&](HeadlessBackend& b) {
                EXPECT_EQ(b.text(kInfo, res::idc::kSerialNumber), std::string(prefix) + "12345678");
                EXPECT_NE(b.text(kInfo, res::idc::kInstructions)
                              .find(std::string("to version ") + version + ".\r\n"),
                          std::string::npos);
            })
            .escape(kInfo);
        run(script);
        EXPECT_TRUE(script.errors().empty()) << script.errors()[0];
    }
}

TEST_F(Wizard, ControlCharactersFromTheReceiverAreShownAsStandIns) {
    sim::DeviceState device;
    device.serialPrefix = "V\r\n\t";
    device.firmwareVersion = "169-508231-\b\x1b\xe9";
    startReceiver(2, device);
    toConnecting(1);
    ui.then([](HeadlessBackend& b) {
          EXPECT_EQ(b.text(kInfo, res::idc::kSerialNumber), "V^M^J^I1234567");
          EXPECT_EQ(b.text(kInfo, res::idc::kFirmwareVersion), "^H^[?");
          // Not "VIZ": the other firmware file, as for any other serial number.
          EXPECT_NE(b.text(kInfo, res::idc::kInstructions).find("to version 005.\r\n"),
                    std::string::npos);
      }).escape(kInfo);
    run();
    EXPECT_EQ(VisibleText("VIZ12345678"), "VIZ12345678");
    EXPECT_EQ(VisibleText(std::string("\0\x7f", 2)), "^@^?");
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

// A receiver whose answer to the identity request is a valid packet of another kind, so that no
// serial number is decoded; handshake and power requests are answered as usual.
class NoIdentityProtocol : public sim::SimProtocol {
  public:
    void OnBytes(const std::uint8_t* bytes, std::size_t count, unsigned baud,
                 sim::DeviceState& device, sim::SimOutput& out) override {
        if (baud != device.ownBaud) return;
        pending_.insert(pending_.end(), bytes, bytes + count);
        for (;;) {
            auto start = std::find(pending_.begin(), pending_.end(), std::uint8_t{0x01});
            pending_.erase(pending_.begin(), start);
            if (pending_.size() < 4) return;
            std::size_t length = std::size_t(pending_[3]) + 6;
            if (pending_.size() < length) return;
            std::uint8_t command = pending_[1];
            pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(length));
            if (command == '?') out.Send(sim::Frame('?', {}));
            if (command == '-') out.Send(sim::Frame('?', {'n', 'o'}));
            if (command == 'F') out.Send(sim::Frame('F', sim::PowerReplyData(device, 3)));
        }
    }

  private:
    sim::Bytes pending_;
};

TEST_F(Wizard, EmptySerialNumberIsAnUnsupportedAntenna) {
    sim::DeviceState device;
    device.batteryLevel = 3600;
    receivers[2] =
        std::make_unique<sim::ReceiverSim>(device, std::make_unique<NoIdentityProtocol>());
    setenv("REFLASHER_COM2", receivers[2]->SlavePath().c_str(), 1);
    toConnecting(1);
    ui.then([](HeadlessBackend& b) {
          EXPECT_EQ(b.text(kInfo, res::idc::kSerialNumber), "");
          EXPECT_NE(b.text(kInfo, res::idc::kInstructions).find("to version 69-.\r\n"),
                    std::string::npos);
      })
        .press(res::idc::kUpdate, kInfo)
        .then([](HeadlessBackend& b) {
            EXPECT_FALSE(b.visible(kInfo));
        })  // hidden while the box is up
        .answerMessageBox("Unsupported antenna.")
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kInfo));
            EXPECT_TRUE(b.enabled(kInfo, res::idc::kUpdate));
        })
        .press(res::idc::kCancel, kInfo);
    run();
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, RestorePageWithoutTheFlasher) {
    useEmptyProgramFolder();
    ui.press(res::idc::kWelcomeNext, kWelcome)
        .select(res::idc::kPortList, 2, kChoose)
        .press(res::idc::kPortRestore, kChoose)
        .then([](HeadlessBackend& b) {
            EXPECT_FALSE(b.visible(kChoose));
            const ui::Window* w = b.window(kRestore);
            EXPECT_TRUE(w->control(res::idc::kWhiteTop)->checked);
            EXPECT_FALSE(w->control(res::idc::kGreyTop)->checked);
        })
        .press(res::idc::kGreyTop, kRestore)
        .enter(kRestore)  // Restore is the default button
        .answerMessageBox(
            "prog.exe cannot be found.  Make sure this file is in the same directory as the update "
            "utility."
            "\r\n\r\nLooked in: " +
            tempDir + "/empty")
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kRestore));
            EXPECT_TRUE(
                b.window(kRestore)->control(res::idc::kGreyTop)->checked);  // the choice stays
        })
        .press(res::idc::kBack, kRestore)  // Back
        .then([](HeadlessBackend& b) {
            EXPECT_TRUE(b.visible(kChoose));
            EXPECT_EQ(b.selection(kChoose, res::idc::kPortList), 2);
        })
        .press(res::idc::kPortRestore, kChoose)
        .press(res::idc::kCancel, kRestore);  // Cancel on the restore page ends the program
    run();
    EXPECT_EQ(ui.pageOrder(),
              (std::vector<std::string>{"open Welcome", "open Choose Connection", "open Restore",
                                        "end Restore OK", "open Restore", "end Restore Cancel",
                                        "end Choose Connection Cancel", "end Welcome Cancel"}));
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, RestoreDesignsChooseTheFirmwareFile) {
    // prog.exe beside the tests finds neither file and ends at once: message 126 names the file.
    surroundings.firmwareNames = [](int id) { return "508231." + std::to_string(id); };
    const std::string looked = "\r\n\r\nLooked in: " + binFolder().string();
    ui.press(res::idc::kWelcomeNext, kWelcome)
        .press(res::idc::kPortRestore, kChoose)
        .press(res::idc::kRestore, kRestore)
        .answerMessageBox(fmt::sprintf(res::LoadString(res::ids::kFirmwareNotFound), "508231.102") +
                          looked)
        .press(res::idc::kGreyTop, kRestore)
        .press(res::idc::kRestore, kRestore)
        .answerMessageBox(fmt::sprintf(res::LoadString(res::ids::kFirmwareNotFound), "508231.103") +
                          looked)
        .press(res::idc::kWhiteTop, kRestore)
        .press(res::idc::kRestore, kRestore)
        .answerMessageBox(fmt::sprintf(res::LoadString(res::ids::kFirmwareNotFound), "508231.102") +
                          looked)
        .escape(kRestore);
    run();
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST_F(Wizard, EngineNoticesAreMessageBoxes) {
    ui.then([](HeadlessBackend&) {
          comm::platform::ShowNotice("Comms Error", "Read thread not terminated!");
      })
        .answerMessageBox("Read thread not terminated!")
        .escape(kWelcome);
    run();
    ASSERT_EQ(ui.messageBoxes().size(), 1u);
    EXPECT_EQ(ui.messageBoxes()[0].caption, "Comms Error");
    EXPECT_EQ(ui.messageBoxes()[0].icon, ui::MessageIcon::None);
    EXPECT_TRUE(ui.errors().empty()) << ui.errors()[0];
}

TEST(Pages, VersionFromFileName) {
    EXPECT_EQ(VersionFromFileName("508231.005"), "005");
    EXPECT_EQ(VersionFromFileName(""), "69-");
    EXPECT_EQ(VersionFromFileName("a.b"), "a-b");
}

}  // namespace
