// The wizard in its desktop window (Qt, offscreen): an operator clicks and types through the
// roads against simulated receivers and the stand-in prog.exe on the console window's terminal,
// and the checks read the widgets themselves (texts, enabled, visible, focus, default button).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

#include <set>

#include "tests/desktop/Operator.h"
#include "tests/ui/WizardHarness.h"
#include "tools/bootloader/SimBootloader.h"
#include "ui/desktop/DesktopBackend.h"
#include "ui/desktop/DialogUnits.h"

namespace {

using desktop_test::Operator;
using ui::desktop::toPixels;

const std::string kWelcome = "Welcome";
const std::string kAbout = "About Reflasher";
const std::string kChoose = "Choose Connection";
const std::string kConnecting = "Connecting";
const std::string kInfo = "Receiver Information";
const std::string kRestore = "Restore";
const std::string kDone = "Update Successful";

template <class W = QWidget>
W* control(QWidget* window, int id) {
    W* w = window ? window->findChild<W*>(QString::number(id)) : nullptr;
    EXPECT_NE(w, nullptr) << "control " << id;
    return w;
}

// The text a control shows, whatever kind of widget it is.
std::string text(QWidget* window, int id) {
    QWidget* w = control(window, id);
    if (auto* line = qobject_cast<QLineEdit*>(w)) return line->text().toStdString();
    if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) return edit->toPlainText().toStdString();
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text().toStdString();
    return {};
}

// What the wizard's texts look like in a widget: Windows line ends become plain ones.
std::string shown(std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
}

bool focused(QWidget* window, int id) {
    return window->focusWidget() && window->focusWidget()->objectName() == QString::number(id);
}

void expectFits(QWidget* window) {
    for (const std::string& problem : desktop_test::layoutProblems(window))
        ADD_FAILURE() << problem;
}

// Counts the paint events of one widget.
class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

class DesktopWizard : public reflasher_test::Wizard {
  protected:
    // A receiver with its bootloader on COM `com`, for prog.exe to flash.
    sim::ReceiverSim& startFlashableReceiver(int com, const sim::DeviceState& device) {
        receivers.erase(com);
        auto receiver =
            std::make_unique<sim::ReceiverSim>(device, sim::MakeReceiverWithBootloader());
        setenv(("REFLASHER_COM" + std::to_string(com)).c_str(), receiver->SlavePath().c_str(), 1);
        return *(receivers[com] = std::move(receiver));
    }

    // Runs the wizard in its windows while `op` works through its script, which must be used up.
    SessionOutcome runDesktop(Operator& op) {
        ui::desktop::DesktopBackend backend;
        WizardSurroundings s = surroundings;
        std::string error;
        EXPECT_TRUE(backend.prepareConsole(error)) << error;
        ReflasherApp app(backend, programName(), s);
        op.start(backend);
        EXPECT_FALSE(app.initInstance());
        op.stop();
        for (const std::string& e : op.errors()) ADD_FAILURE() << e;
        EXPECT_TRUE(op.done());
        EXPECT_TRUE(engineStopped());
        EXPECT_EQ(Operator::shown(kWelcome), nullptr);  // every window went with its page
        return app.outcome();
    }

    // Watches the connecting page pass by: its status texts, its paints, whether it took input.
    struct ConnectingSeen {
        std::vector<std::string> texts;
        PaintCounter painted;
        bool tookInput = false;
        QWidget* page = nullptr;
    };
    void watchConnecting(Operator& op, ConnectingSeen& seen) {
        op.watch([&op, &seen] {
            QWidget* page = Operator::shown(kConnecting);
            if (!page) return;
            if (page != seen.page) {
                seen.page = page;
                page->installEventFilter(&seen.painted);
            }
            const std::string status =
                page->findChild<QLineEdit*>(QString::number(res::idc::kMessage))
                    ->text()
                    .toStdString();
            if (seen.texts.empty() || seen.texts.back() != status) seen.texts.push_back(status);
            seen.tookInput = seen.tookInput || op.backend().takingInput();
        });
    }

    // The message boxes' caption: the program's name.
    std::string boxTitle() const { return programName(); }
};

TEST_F(DesktopWizard, UpdateRoadThroughCompletion) {
    sim::ReceiverSim& receiver = startFlashableReceiver(2, {});
    Operator op;
    ConnectingSeen connecting;
    watchConnecting(op, connecting);
    // The animation runs on Qt's event loop while the Welcome page waits.
    std::set<qint64> frames;
    op.watch([&] {
        if (QWidget* welcome = op.window(kWelcome))
            frames.insert(welcome->findChild<QLabel*>(QString::number(res::idc::kAnimation))
                              ->pixmap()
                              .cacheKey());
    });
    op.check(kWelcome,
             [](QWidget* w) {
                 const ui::desktop::BaseUnits units = ui::desktop::baseUnitsOf(w->font());
                 EXPECT_EQ(w->size(), toPixels(units, 0, 0, 260, 175).size());
                 EXPECT_EQ(control(w, res::idc::kWelcomeNext)->geometry(),
                           toPixels(units, 148, 154, 50, 14));
                 EXPECT_TRUE(control<QPushButton>(w, res::idc::kWelcomeNext)->isDefault());
                 EXPECT_TRUE(focused(w, res::idc::kWelcomeNext));
                 EXPECT_EQ(
                     text(w, res::idc::kInstructions)
                         .rfind("This utility will update the firmware on your Vandrel receiver.  ",
                                0),
                     0u);
                 EXPECT_EQ(control<QLabel>(w, res::idc::kLogo)->pixmap().size(),
                           QSize(225, 59));  // the logo
                 EXPECT_EQ(control<QLabel>(w, res::idc::kAnimation)->pixmap().size(),
                           QSize(128, 48));  // an animation frame
                 EXPECT_FALSE(w->windowIcon().isNull());
                 expectFits(w);
             })
        .when("three animation frames", [&] { return frames.size() >= 3; })
        .key(kWelcome, Qt::Key_Return)
        .check(kChoose,
               [](QWidget* w) {
                   auto* list = control<QComboBox>(w, res::idc::kPortList);
                   ASSERT_EQ(list->count(), 4);
                   EXPECT_EQ(list->itemText(3), "COM Port 4");
                   EXPECT_EQ(list->currentIndex(), 0);
                   EXPECT_TRUE(focused(w, res::idc::kPortList));
                   EXPECT_TRUE(control<QPushButton>(w, res::idc::kPortNext)->isDefault());
                   EXPECT_NE(
                       text(w, res::idc::kInstructions)
                           .find("Turn on the Vandrel receiver before proceeding. \n\nNote:  If"),
                       std::string::npos);
                   EXPECT_TRUE(Operator::shown(kWelcome));  // the Welcome page stays behind
                   expectFits(w);
               })
        .pick(kChoose, res::idc::kPortList, 1)
        .check(kChoose,
               [](QWidget* w) {
                   EXPECT_EQ(control<QComboBox>(w, res::idc::kPortList)->currentIndex(), 1);
               })
        .key(kChoose,
             Qt::Key_Return)  // the list has the focus: Enter is the default button's (Next)
        .when(
            "the connecting page", [] { return Operator::shown(kConnecting) != nullptr; },
            [] {
                // An impatient operator: Escape and Cancel while the wizard connects do nothing.
                QWidget* page = Operator::shown(kConnecting);
                QTest::keyClick(page, Qt::Key_Escape);
                QTest::mouseClick(page->findChild<QPushButton*>(QString::number(res::idc::kCancel)),
                                  Qt::LeftButton);
            })
        .check(kInfo,
               [&](QWidget* w) {
                   EXPECT_EQ(connecting.texts,
                             (std::vector<std::string>{"Connecting at 19200...",
                                                       "Getting receiver information..."}));
                   EXPECT_GT(connecting.painted.paints, 0);  // painted while the sequence ran
                   EXPECT_FALSE(connecting.tookInput);
                   EXPECT_FALSE(Operator::shown(kConnecting));
                   EXPECT_FALSE(Operator::shown(kChoose));
                   EXPECT_EQ(text(w, res::idc::kSerialNumber), "VIZ12345678");
                   EXPECT_EQ(text(w, res::idc::kFirmwareVersion), "004");
                   EXPECT_EQ(
                       text(w, res::idc::kConnection),
                       "The receiver is connected to your PC COM port 2 at a baud rate of 19200.");
                   EXPECT_NE(text(w, res::idc::kInstructions)
                                 .find("from the current version to version 005.\n"),
                             std::string::npos);
                   auto* update = control<QPushButton>(w, res::idc::kUpdate);
                   EXPECT_TRUE(update->isDefault());
                   EXPECT_TRUE(update->isEnabled());
                   EXPECT_TRUE(focused(
                       w, res::idc::kSerialNumber));  // the serial number, the first tab stop
                   const ui::desktop::BaseUnits units = ui::desktop::baseUnitsOf(w->font());
                   EXPECT_EQ(update->geometry(), toPixels(units, 191, 199, 50, 14));
                   expectFits(w);
               })
        .key(kInfo, Qt::Key_U)  // a plain letter on the read-only serial number field: Update
        .when(
            "the flasher's progress in the console",
            [] {
                return Operator::console() &&
                       Operator::console()->toPlainText().contains("Writing [");
            },
            [&] {
                QPlainTextEdit* console = Operator::console();
                EXPECT_EQ(console->windowTitle(), "Installing Firmware");
                EXPECT_EQ(console->palette().color(QPalette::Base), QColor(0xC0, 0xC0, 0xC0));
                EXPECT_EQ(console->palette().color(QPalette::Text), QColor(Qt::black));
                EXPECT_NE(console->toPlainText().indexOf("Connecting on COM2 at 19200 baud"), -1);
                EXPECT_FALSE(Operator::shown(kInfo));  // hidden while the flasher runs
                // The Welcome page behind takes no click meanwhile.
                QWidget* welcome = Operator::shown(kWelcome);
                ASSERT_NE(welcome, nullptr);
                QTest::mouseClick(
                    welcome->findChild<QPushButton*>(QString::number(res::idc::kCancel)),
                    Qt::LeftButton);
            })
        .check(kDone,
               [](QWidget* w) {
                   EXPECT_EQ(Operator::console(), nullptr);  // closed when the flasher ended
                   EXPECT_EQ(text(w, res::idc::kMessage),
                             shown("Receiver number VIZ12345678 has been successfully upgraded "
                                   "from firmware version 004 to 005."
                                   "  \r\n\r\nRemember you must delete all files off of the "
                                   "receiver before the new firmware "
                                   "will become operational. \r\n\r\nWould you like to upgrade "
                                   "another receiver?"));
                   EXPECT_TRUE(control(w, res::idc::kPrintResults)
                                   ->isHidden());  // "Print results" stays hidden
                   EXPECT_TRUE(control<QPushButton>(w, res::idc::kYes)->isDefault());
                   EXPECT_TRUE(focused(w, res::idc::kYes));
                   expectFits(w);
               })
        .key(kDone, Qt::Key_N, Qt::AltModifier);  // No
    EXPECT_EQ(runDesktop(op), SessionOutcome::LastRunSucceeded);
    EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kChoose, kConnecting, kInfo,
                                                    kConnecting, kDone}));
    EXPECT_EQ(receiver.Device().firmwareVersion, "169-508231-005");
}

TEST_F(DesktopWizard, FallBackTo9600ThenBackKeepsTheSelection) {
    sim::DeviceState device;
    device.ownBaud = 9600;
    device.firmwareVersion = "16";
    startReceiver(3, device);
    Operator op;
    ConnectingSeen connecting;
    watchConnecting(op, connecting);
    op.click(kWelcome, res::idc::kWelcomeNext)
        .key(kChoose, Qt::Key_C)  // the list takes plain letters: the next entry that begins with C
        .key(kChoose, Qt::Key_C)
        .check(kChoose,
               [](QWidget* w) {
                   EXPECT_EQ(control<QComboBox>(w, res::idc::kPortList)->currentIndex(), 2);
               })
        .key(kChoose, Qt::Key_N, Qt::AltModifier)  // Next, by its mnemonic, from the list
        .check(kInfo,
               [&](QWidget* w) {
                   EXPECT_EQ(
                       connecting.texts,
                       (std::vector<std::string>{"Connecting at 19200...", "Connecting at 9600...",
                                                 "Getting receiver information..."}));
                   EXPECT_EQ(
                       text(w, res::idc::kConnection),
                       "The receiver is connected to your PC COM port 3 at a baud rate of 9600.");
                   EXPECT_EQ(text(w, res::idc::kFirmwareVersion), "16");
               })
        .click(kInfo, res::idc::kBack)  // Back
        .check(kChoose,
               [](QWidget* w) {
                   EXPECT_EQ(control<QComboBox>(w, res::idc::kPortList)->currentIndex(), 2);
                   EXPECT_FALSE(Operator::shown(kInfo));
               })
        .key(kChoose, Qt::Key_Escape);
    EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
    EXPECT_EQ(op.trail(),
              (std::vector<std::string>{kWelcome, kChoose, kConnecting, kInfo, kChoose}));
}

// An Enter held down on the Welcome page (auto-repeat key events, as the window system sends them
// to the focused control) presses Next there only: the port page takes none of its repeats.
TEST_F(DesktopWizard, AHeldEnterActsOnlyWhereItWentDown) {
    startFlashableReceiver(1, {});
    Operator op;
    int repeats = -1;
    auto enter = [](bool press, bool repeat) {
        if (QWidget* to = QApplication::focusWidget())
            QTest::simulateEvent(to, press, Qt::Key_Return, {}, "\r", repeat);
    };
    op.watch([&] {
          if (repeats >= 0 && repeats < 300) enter(true, true), ++repeats;
      })
        .when(
            "the Welcome page", [&] { return op.window(kWelcome); },
            [&] { enter(true, false), repeats = 0; })
        .when(
            "300 repeats", [&] { return repeats == 300; }, [&] { enter(false, false); })
        .key(kChoose, Qt::Key_Escape);
    EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
    EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kChoose}));
}

TEST_F(DesktopWizard, LowBatteryRefusesAndDisablesUpdate) {
    sim::DeviceState device;
    device.batteryLevel = 3599;
    startReceiver(1, device);
    Operator op;
    op.key(kWelcome, Qt::Key_Return)
        .key(kChoose, Qt::Key_Return)
        .key(kInfo, Qt::Key_Return)  // Update, the default button
        .check(boxTitle(),
               [](QWidget* box) {
                   EXPECT_EQ(box->findChild<QLabel*>("text")->text().toStdString(),
                             "It is unsafe to update the receiver firmware on a low battery.  Exit "
                             "this utility and replace "
                             "the current battery.");
                   auto* icon = box->findChild<QLabel*>("icon");  // the warning icon
                   ASSERT_NE(icon, nullptr);
                   EXPECT_FALSE(icon->pixmap().isNull());
                   EXPECT_TRUE(control<QPushButton>(box, 1)->isDefault());
                   EXPECT_TRUE(focused(box, 1));
                   EXPECT_TRUE(Operator::shown(kInfo));  // the page stays visible under the box
                   expectFits(box);
               })
        .key(boxTitle(), Qt::Key_Return)
        .check(kInfo,
               [](QWidget* w) {
                   EXPECT_FALSE(control(w, res::idc::kUpdate)->isEnabled());
                   EXPECT_TRUE(control(w, res::idc::kBack)->isEnabled());
                   EXPECT_TRUE(control(w, res::idc::kCancel)->isEnabled());
               })
        .key(kInfo, Qt::Key_Return)  // the default button is disabled: nothing
        .key(kInfo, Qt::Key_U, Qt::AltModifier)
        .check(kInfo, [](QWidget* w) { EXPECT_FALSE(control(w, res::idc::kUpdate)->isEnabled()); })
        .click(kInfo, res::idc::kCancel);  // Cancel ends the wizard
    EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
    EXPECT_EQ(op.trail(),
              (std::vector<std::string>{kWelcome, kChoose, kConnecting, kInfo, boxTitle(), kInfo}));
}

TEST_F(DesktopWizard, NoReceiverThenCancelAndEscapeOnEveryPage) {
    sim::DeviceState silent;
    silent.fault = sim::Fault::Silent;
    startReceiver(1, silent);
    {
        Operator op;
        op.key(kWelcome, Qt::Key_Return)
            .key(kChoose, Qt::Key_Return)
            .check(boxTitle(),
                   [](QWidget* box) {
                       EXPECT_EQ(box->findChild<QLabel*>("text")->text().toStdString(),
                                 "No receiver found.  Make sure the serial cable is connected to "
                                 "the specified COM port.");
                   })
            .key(boxTitle(), Qt::Key_Escape)  // Escape answers a message box too
            .check(kChoose,
                   [](QWidget* w) {
                       EXPECT_EQ(control<QComboBox>(w, res::idc::kPortList)->currentIndex(), 0);
                   })
            .click(kChoose, res::idc::kPortRestore)  // Restore
            .check(kRestore,
                   [](QWidget* w) {
                       EXPECT_TRUE(control<QRadioButton>(w, res::idc::kWhiteTop)->isChecked());
                       EXPECT_FALSE(control<QRadioButton>(w, res::idc::kGreyTop)->isChecked());
                       EXPECT_TRUE(focused(w, res::idc::kWhiteTop));
                       EXPECT_TRUE(control<QPushButton>(w, res::idc::kRestore)->isDefault());
                       expectFits(w);
                   })
            .key(kRestore, Qt::Key_Escape);
        EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
        EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kChoose, kConnecting, boxTitle(),
                                                        kChoose, kRestore}));
    }
    {
        Operator op;
        op.key(kWelcome, Qt::Key_Escape);
        EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
        EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome}));
    }
    {
        Operator op;
        op.click(kWelcome, res::idc::kWelcomeNext).click(kChoose, res::idc::kCancel);
        EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
        EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kChoose}));
    }
    {
        Operator op;
        op.click(kWelcome, res::idc::kWelcomeNext)
            .key(kChoose, Qt::Key_R, Qt::AltModifier)
            .click(kRestore, res::idc::kCancel);
        EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
        EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kChoose, kRestore}));
    }
    {
        // Back from the restore page, then Back to the Welcome page, whose Cancel ends it.
        Operator op;
        op.click(kWelcome, res::idc::kWelcomeNext)
            .click(kChoose, res::idc::kPortRestore)
            .key(kRestore, Qt::Key_B, Qt::AltModifier)
            .click(kChoose, res::idc::kBack)
            .click(kWelcome, res::idc::kCancel);
        EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
        EXPECT_EQ(op.trail(),
                  (std::vector<std::string>{kWelcome, kChoose, kRestore, kChoose, kWelcome}));
    }
}

TEST_F(DesktopWizard, AboutFromTheWindowMenuAndCloseFromIt) {
    Operator op;
    op.windowMenu(kWelcome, "About Firmware...")
        .check(kAbout,
               [](QWidget* w) {
                   std::vector<std::string> labels;
                   for (QLabel* label : w->findChildren<QLabel*>()) {
                       if (!label->text().isEmpty()) labels.push_back(label->text().toStdString());
                       if (!label->pixmap().isNull()) {
                           EXPECT_EQ(label->pixmap().size(), QSize(32, 32));  // the icon
                       }
                   }
                   EXPECT_EQ(labels, (std::vector<std::string>{"Reflasher Version 1.0",
                                                               "Firmware update wizard"}));
                   EXPECT_TRUE(control<QPushButton>(w, 1)->isDefault());
                   EXPECT_TRUE(Operator::shown(kWelcome));
                   expectFits(w);
               })
        .key(kAbout, Qt::Key_Escape)
        .key(kWelcome, Qt::Key_Space, Qt::AltModifier)  // the window menu from the keyboard
        .when(
            "the window menu",
            [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; },
            [] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                std::vector<std::string> items;
                for (QAction* action : menu->actions())
                    items.push_back(action->isSeparator() ? "-" : action->text().toStdString());
                EXPECT_EQ(items, (std::vector<std::string>{"Mi&nimize", "&Close", "-",
                                                           "&About Firmware..."}));
                QTest::keyClick(menu, Qt::Key_C);  // Close
            });
    EXPECT_EQ(runDesktop(op), SessionOutcome::NothingFlashed);
    EXPECT_EQ(op.trail(), (std::vector<std::string>{kWelcome, kAbout, kWelcome}));
}

TEST_F(DesktopWizard, RestoreWithEachDesign) {
    useRecordingFlasher(false);
    for (const char* name : {"white.005", "grey.005"})
        std::filesystem::create_symlink(binFolder() / "508231.005",
                                        surroundings.flasher.programFolder + "/" + name);
    surroundings.firmwareNames = [](int id) {
        return std::string(id == res::ids::kFirmwareViz ? "white.005" : "grey.005");
    };
    {
        // A receiver that keeps its old firmware although the flasher reports success: while it is
        // asked again the connecting page is painted and deaf, then the failure, not the
        // completion.
        sim::DeviceState device;
        device.fault = sim::Fault::KeepsOldVersion;
        startFlashableReceiver(4, device);
        Operator op;
        ConnectingSeen checking;
        watchConnecting(op, checking);
        op.click(kWelcome, res::idc::kWelcomeNext)
            .pick(kChoose, res::idc::kPortList, 3)
            .click(kChoose, res::idc::kPortRestore)
            .key(kRestore, Qt::Key_Return);
        op.check(boxTitle(),
                 [](QWidget* box) {
                     EXPECT_EQ(
                         box->findChild<QLabel*>("text")->text().toStdString(),
                         shown(res::LoadString(res::ids::kRestoreFailed) +
                               std::string(
                                   "\r\n\r\nThe receiver runs firmware version 004, not 005.")));
                 })
            .key(boxTitle(), Qt::Key_Return)
            .check(kRestore,
                   [&](QWidget*) {
                       EXPECT_GT(checking.painted.paints, 0);
                       EXPECT_FALSE(checking.tookInput);
                       EXPECT_EQ(checking.texts.front(), "Connecting at 19200...");
                   })
            .key(kRestore, Qt::Key_Escape);
        EXPECT_EQ(runDesktop(op), SessionOutcome::LastRunFailed);
        EXPECT_EQ(std::find(op.trail().begin(), op.trail().end(), kDone), op.trail().end());
        std::filesystem::remove(tempDir + "/args.log");
    }
    for (int design : {0, 1}) {
        SCOPED_TRACE(design);
        sim::DeviceState device;
        device.bricked = true;
        sim::ReceiverSim& receiver = startFlashableReceiver(4, device);
        Operator op;
        op.click(kWelcome, res::idc::kWelcomeNext)
            .pick(kChoose, res::idc::kPortList, 3)
            .click(kChoose, res::idc::kPortRestore);
        if (design == 0) {
            op.key(kRestore, Qt::Key_Return);  // the white top, as the page opens; Enter is Restore
        } else {
            op.key(kRestore, Qt::Key_G)  // a plain letter on a radio button: its mnemonic
                .check(kRestore,
                       [](QWidget* w) {
                           EXPECT_FALSE(control<QRadioButton>(w, res::idc::kWhiteTop)->isChecked());
                           EXPECT_TRUE(control<QRadioButton>(w, res::idc::kGreyTop)->isChecked());
                       })
                .key(kRestore, Qt::Key_R, Qt::AltModifier);
        }
        op.check(kDone, [&](QWidget* w) {
            EXPECT_EQ(flasherArguments(), surroundings.flasher.programFolder +
                                              (design == 0 ? "/white.005" : "/grey.005") +
                                              "\n4\nP\n9600\n9600\n");
            EXPECT_EQ(text(w, res::idc::kMessage)
                          .rfind("The receiver has been successfully restored to firmware version "
                                 "005.  \n\n",
                                 0),
                      0u);
            EXPECT_FALSE(Operator::shown(kRestore));
        });
        if (design == 0) {
            op.click(kDone, res::idc::kYes)  // Yes: the next receiver
                .check(kChoose,
                       [](QWidget* w) {
                           EXPECT_EQ(control<QComboBox>(w, res::idc::kPortList)->currentIndex(), 3);
                       })
                .key(kChoose, Qt::Key_Escape);
        } else {
            op.key(kDone, Qt::Key_Escape);  // No
        }
        EXPECT_EQ(runDesktop(op), SessionOutcome::LastRunSucceeded);
        EXPECT_EQ(receiver.Device().firmwareVersion, "169-508231-005");
        std::filesystem::remove(tempDir + "/args.log");
    }
}

TEST_F(DesktopWizard, TheConsolePassesTheOperatorsKeysToTheFlasher) {
    startFlashableReceiver(2, {});
    setenv("REFLASHER_PROG_HOLD_AFTER", "2", 1);  // prog.exe waits after two blocks until stopped
    auto consoleHas = [](const char* part, int times = 1) {
        QPlainTextEdit* c = Operator::console();
        return c && c->toPlainText().count(QString::fromLatin1(part)) >= times;
    };
    Operator op;
    op.click(kWelcome, res::idc::kWelcomeNext)
        .pick(kChoose, res::idc::kPortList, 1)
        .click(kChoose, res::idc::kPortNext)
        .click(kInfo, res::idc::kUpdate)
        .when(
            "the write held", [&] { return consoleHas("(holding the write for a test)"); },
            [] {
                // The progress line was redrawn in place, as in a terminal.
                const QStringList lines = Operator::console()->toPlainText().split('\n');
                EXPECT_EQ(lines.filter(QRegularExpression("^Writing \\[")).size(), 1)
                    << lines.join('\n').toStdString();
                Operator::typeIntoConsole(Qt::Key_C, Qt::ControlModifier);
            })
        .when(
            "the flasher asks", [&] { return consoleHas("Stop now?"); },
            [] { Operator::typeIntoConsole(Qt::Key_N); })
        .when(
            "the flasher goes on", [&] { return consoleHas("Going on."); },
            [] { Operator::typeIntoConsole(Qt::Key_Escape); })
        .when(
            "the flasher asks again", [&] { return consoleHas("Stop now?", 2); },
            [] { Operator::typeIntoConsole(Qt::Key_Y); })
        .check(boxTitle(),
               [](QWidget* box) {
                   EXPECT_EQ(Operator::console(), nullptr);
                   EXPECT_EQ(box->findChild<QLabel*>("text")->text().toStdString(),
                             shown(std::string(res::LoadString(res::ids::kUpdateFailed)) +
                                   "\r\n\r\nThe flasher reported: Stopped by the operator during "
                                   "the writing; the receiver "
                                   "has no firmware now: cycle its power and use Restore."));
               })
        .key(boxTitle(), Qt::Key_Return)
        .check(kInfo,
               [](QWidget* w) {
                   EXPECT_TRUE(control(w, res::idc::kUpdate)->isEnabled());
               })  // try again, go back or leave
        .key(kInfo, Qt::Key_Escape);
    const SessionOutcome outcome = runDesktop(op);
    unsetenv("REFLASHER_PROG_HOLD_AFTER");
    EXPECT_EQ(outcome, SessionOutcome::LastRunFailed);
}

}  // namespace

namespace {
QtMessageHandler gQtMessages = nullptr;
// The offscreen platform says so each time a window is raised or grabs the keyboard.
void quietOffscreen(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support"))) return;
    gQtMessages(type, context, message);
}
}  // namespace

int main(int argc, char** argv) {
    // Without a display of its own, as in CI; QT_QPA_PLATFORM from outside still wins.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    gQtMessages = qInstallMessageHandler(quietOffscreen);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
