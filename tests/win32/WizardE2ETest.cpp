// Reflasher.exe end to end under Wine, driven from this process as an operator would drive it,
// against simulated receivers on pseudo-terminals mapped to COM ports (receiver-sim, started by
// the broker of run-under-wine) and the Windows prog.exe that really flashes them.
//
// Every run gets a temporary folder of its own as its TMP and TEMP; afterwards it must be empty
// (no result file, no run folder left) and no prog.exe may be left running.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shlobj.h>
// <windows.h> makes LoadString a macro (LoadStringA); the string table's is meant here.
#undef LoadString

#include <fmt/printf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "res/Strings.h"
#include "tests/win32/WizardDriver.h"
#include "tests/wine/RemotePty.h"

namespace {

using driver::Wizard;

// Texts as the wizard must show them, from the string table.
std::string S(int id) {
    return res::LoadString(id);
}
std::string Welcome() {
    return fmt::sprintf(S(res::ids::kWelcomeText), S(res::ids::kReceiverName));
}
std::string Instructions() {
    return fmt::sprintf(S(res::ids::kPortInstructions), S(res::ids::kReceiverName));
}
std::string StatusLine(int port, int speed) {
    return fmt::sprintf(S(res::ids::kConnectedAt), port, speed);
}

// The flashing at 9600 baud takes about a minute under Wine; the rest far less.
constexpr driver::Patience kFlashPatience{400000};

class WizardE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_ = driver::FreshFolder(
            "reflasher-e2e-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        ASSERT_EQ(driver::ProcessesNamed("prog.exe"), 0)
            << "a flasher of an earlier test still runs";
    }

    void TearDown() override {
        wizard_.reset();
        // Nothing left behind: no flasher running, nothing in the wizard's temporary folder.
        EXPECT_TRUE(driver::WaitFor([] { return driver::ProcessesNamed("prog.exe") == 0; }));
        EXPECT_TRUE(driver::Entries(temp_).empty())
            << "left in the temporary folder: " << driver::Entries(temp_)[0];
        driver::RemoveTree(temp_);
    }

    // Starts Reflasher.exe from `folder` (the build's by default).
    Wizard& Start(const std::string& folder = driver::OwnFolder()) {
        wizard_ = std::make_unique<Wizard>(folder + "\\Reflasher.exe", "", temp_);
        EXPECT_TRUE(wizard_->Started());
        return *wizard_;
    }

    // A folder with Reflasher.exe and prog.exe, and the firmware file only when `firmware` is
    // not empty (its content then).
    std::string WizardFolder(const std::string& name, const std::string& firmware) {
        const std::string folder = driver::FreshFolder(name);
        extra_.push_back(folder);
        const std::string own = driver::OwnFolder();
        EXPECT_TRUE(driver::Copy(own + "\\Reflasher.exe", folder + "\\Reflasher.exe"));
        EXPECT_TRUE(driver::Copy(own + "\\prog.exe", folder + "\\prog.exe"));
        if (!firmware.empty()) {
            HANDLE file = CreateFileA((folder + "\\508231.005").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, firmware.data(), DWORD(firmware.size()), &written, nullptr);
            CloseHandle(file);
        }
        return folder;
    }

    ~WizardE2E() override {
        wizard_.reset();
        for (const std::string& folder : extra_) driver::RemoveTree(folder);
    }

    // From the Welcome page to the port selection page with COM port `port` chosen.
    HWND ToPortPage(Wizard& w, int port) {
        HWND welcome = w.Page("Welcome");
        EXPECT_NE(welcome, nullptr);
        if (!welcome) return nullptr;
        w.Click(welcome, res::idc::kWelcomeNext);
        HWND choose = w.Page("Choose Connection");
        EXPECT_NE(choose, nullptr);
        if (choose && port != 1) w.Select(choose, res::idc::kPortList, port - 1);
        return choose;
    }

    // On to the receiver information page, through COM port 1.
    HWND ToInfoPage(Wizard& w) {
        HWND choose = ToPortPage(w, 1);
        if (!choose) return nullptr;
        w.Click(choose, res::idc::kPortNext);
        HWND info = w.Page("Receiver Information");
        EXPECT_NE(info, nullptr);
        return info;
    }

    // The message box that must come now: its text, after checking it is the standard one.
    std::string Box(Wizard& w, driver::Patience patience = driver::kPatience) {
        auto box = w.Box("Reflasher", patience);
        EXPECT_TRUE(box.has_value())
            << "no message box; shown: " << ::testing::PrintToString(w.VisibleWindows());
        if (!box) return {};
        EXPECT_TRUE(box->icon);
        EXPECT_TRUE(box->ok);
        EXPECT_NE(box->owner, nullptr);  // owned by the page on top, so it stays above it
        w.Answer(*box);
        EXPECT_TRUE(
            driver::WaitFor([&] { return !IsWindow(box->hwnd) || !IsWindowVisible(box->hwnd); }));
        return box->text;
    }

    std::string temp_;
    std::vector<std::string> extra_;
    std::unique_ptr<Wizard> wizard_;
};

// The update road at 19200, Yes for another receiver (the port page comes back with its
// selection), then a receiver on external power with a low battery, which is accepted, and No.
TEST_F(WizardE2E, UpdatesTwoReceiversThenEnds) {
    winetest::RemoteReceiver first(2, "--version 169-508231-004");
    winetest::RemoteReceiver second(3, "--version 169-508231-003 --external 1 --battery 100");
    ASSERT_TRUE(first.Ok() && second.Ok());
    Wizard& w = Start();

    HWND welcome = w.Page("Welcome");
    ASSERT_NE(welcome, nullptr);
    EXPECT_EQ(driver::Text(welcome, res::idc::kInstructions), Welcome());
    w.Click(welcome, res::idc::kWelcomeNext);
    HWND choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    EXPECT_EQ(driver::Items(choose, res::idc::kPortList),
              (std::vector<std::string>{S(res::ids::kComPort1), S(res::ids::kComPort2),
                                        S(res::ids::kComPort3), S(res::ids::kComPort4)}));
    EXPECT_EQ(driver::Selection(choose, res::idc::kPortList), 0);
    EXPECT_EQ(driver::Text(choose, res::idc::kInstructions), Instructions());
    EXPECT_FALSE(IsWindowEnabled(welcome));  // only the page on top takes input
    w.Select(choose, res::idc::kPortList, 1);
    w.Click(choose, res::idc::kPortNext);

    HWND info = w.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    EXPECT_FALSE(w.Shows("Choose Connection"));  // hidden while the road goes on
    EXPECT_EQ(driver::Text(info, res::idc::kSerialNumber), "VIZ12345678");
    EXPECT_EQ(driver::Text(info, res::idc::kFirmwareVersion), "004");
    EXPECT_EQ(driver::Text(info, res::idc::kConnection), StatusLine(2, 19200));
    EXPECT_EQ(driver::Text(info, res::idc::kInstructions),
              fmt::sprintf(S(res::ids::kUpdateInstructions), "005"));
    w.Click(info, res::idc::kUpdate);

    HWND done = w.Page("Update Successful", kFlashPatience);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(driver::Text(done, res::idc::kMessage),
              fmt::sprintf(S(res::ids::kUpdated), "VIZ12345678", "004", "005"));
    EXPECT_FALSE(driver::Visible(done, res::idc::kPrintResults));
    w.Click(done, res::idc::kYes);  // Yes

    choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    EXPECT_EQ(driver::Selection(choose, res::idc::kPortList), 1);
    w.Select(choose, res::idc::kPortList, 2);
    w.Click(choose, res::idc::kPortNext);
    info = w.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(driver::Text(info, res::idc::kFirmwareVersion), "003");
    EXPECT_EQ(driver::Text(info, res::idc::kConnection), StatusLine(3, 19200));
    w.Click(info, res::idc::kUpdate);  // external power: the low battery does not matter
    done = w.Page("Update Successful", kFlashPatience);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(driver::Text(done, res::idc::kMessage),
              fmt::sprintf(S(res::ids::kUpdated), "VIZ12345678", "003", "005"));
    w.Click(done, res::idc::kNo);  // No
    EXPECT_EQ(w.Ended(), 0u);
}

// The 19200 try fails first; the information page says 9600. Back, then Cancel.
TEST_F(WizardE2E, FindsAReceiverAt9600) {
    winetest::RemoteReceiver receiver(1, "--baud 9600");
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start();
    HWND info = ToInfoPage(w);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(driver::Text(info, res::idc::kConnection), StatusLine(1, 9600));
    {
        // The port stays this wizard's until its flasher has ended: a second one is refused it.
        Wizard second(driver::OwnFolder() + "\\Reflasher.exe", "", temp_);
        HWND choose = ToPortPage(second, 1);
        ASSERT_NE(choose, nullptr);
        second.Click(choose, res::idc::kPortNext);
        const std::string text = Box(second);
        EXPECT_EQ(text.substr(0, S(res::ids::kPortNotOpened).size()), S(res::ids::kPortNotOpened));
        EXPECT_NE(text.find("\\\\.\\COM1: in use by another program"), std::string::npos) << text;
        second.Key(second.Page("Choose Connection"), VK_ESCAPE);
        EXPECT_EQ(second.Ended(), 3u);
    }
    w.Click(info, res::idc::kBack);  // Back
    HWND choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    w.Click(choose, res::idc::kCancel);
    EXPECT_EQ(w.Ended(), 3u);
}

// A low battery: message 115, Update disabled, the page stays.
TEST_F(WizardE2E, RefusesALowBattery) {
    winetest::RemoteReceiver receiver(1, "--battery 3599");
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start();
    HWND info = ToInfoPage(w);
    ASSERT_NE(info, nullptr);
    w.Click(info, res::idc::kUpdate);
    EXPECT_EQ(Box(w), S(res::ids::kLowBattery));
    info = w.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(driver::WaitFor([&] { return !driver::Enabled(info, res::idc::kUpdate); }));
    w.Key(info, VK_RETURN);  // the default button is disabled: nothing happens
    w.Click(info, res::idc::kCancel);
    EXPECT_EQ(w.Ended(), 3u);
}

// No receiver on the port (109), a port that does not exist (108): back to the port page each
// time, with the selection kept.
TEST_F(WizardE2E, ReportsNoReceiverAndAMissingPort) {
    winetest::RemotePty silent(2);
    ASSERT_TRUE(silent.Ok());
    ASSERT_TRUE(winetest::MakePortMissing(4));
    Wizard& w = Start();
    HWND choose = ToPortPage(w, 2);
    ASSERT_NE(choose, nullptr);
    w.Click(choose, res::idc::kPortNext);
    EXPECT_EQ(Box(w), S(res::ids::kNoReceiver));
    choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    EXPECT_EQ(driver::Selection(choose, res::idc::kPortList), 1);
    w.Select(choose, res::idc::kPortList, 3);
    w.Click(choose, res::idc::kPortNext);
    // With the device and why under it. (Wine opens the machine's /dev/ttyS3 for a COM4 that
    // leads nowhere, where there is one: then the line settings fail. Either way: 108.)
    const std::string text = Box(w);
    EXPECT_EQ(text.substr(0, S(res::ids::kPortNotOpened).size()), S(res::ids::kPortNotOpened));
    EXPECT_NE(text.find("\r\n\r\n\\\\.\\COM4: "), std::string::npos) << text;
    choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    EXPECT_EQ(driver::Selection(choose, res::idc::kPortList), 3);
    w.Key(choose, VK_ESCAPE);
    EXPECT_EQ(w.Ended(), 3u);
}

// The handshake is answered, the identity request is not: 113, and the wizard ends.
TEST_F(WizardE2E, EndsWhenTheIdentityIsNotAnswered) {
    winetest::RemoteReceiver receiver(1, "--fault handshake-only");
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start();
    HWND choose = ToPortPage(w, 1);
    ASSERT_NE(choose, nullptr);
    w.Click(choose, res::idc::kPortNext);
    EXPECT_EQ(Box(w), S(res::ids::kNoInformation));
    EXPECT_EQ(w.Ended(), 3u);
}

// The restore road with each design, at 9600 9600, on a receiver that has only its bootloader.
TEST_F(WizardE2E, RestoresWithEachDesign) {
    winetest::RemoteReceiver receiver(1, "--bricked 1");
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start();
    HWND choose = ToPortPage(w, 1);
    ASSERT_NE(choose, nullptr);
    for (int design : {res::idc::kWhiteTop, res::idc::kGreyTop}) {
        w.Click(choose, res::idc::kPortRestore);
        HWND restore = w.Page("Restore");
        ASSERT_NE(restore, nullptr);
        EXPECT_TRUE(driver::Checked(restore, res::idc::kWhiteTop));
        EXPECT_FALSE(driver::Checked(restore, res::idc::kGreyTop));
        if (design == res::idc::kGreyTop) {
            w.Click(restore, res::idc::kGreyTop);
            EXPECT_TRUE(driver::WaitFor([&] {
                return driver::Checked(restore, res::idc::kGreyTop) &&
                       !driver::Checked(restore, res::idc::kWhiteTop);
            }));
        }
        w.Click(restore, res::idc::kRestore);
        HWND done = w.Page("Update Successful", kFlashPatience);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(driver::Text(done, res::idc::kMessage),
                  fmt::sprintf(S(res::ids::kRestored), "005"));
        if (design == res::idc::kWhiteTop) {
            w.Click(done, res::idc::kYes);  // Yes: the port page again
            choose = w.Page("Choose Connection");
            ASSERT_NE(choose, nullptr);
        } else {
            w.Key(done, VK_ESCAPE);  // Escape answers No
        }
    }
    EXPECT_EQ(w.Ended(), 0u);
}

// A flasher that fails (a firmware file it refuses): 128 with its reason, and the page again.
TEST_F(WizardE2E, ReportsAFailingFlasher) {
    winetest::RemoteReceiver receiver(1, "");
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start(WizardFolder("reflasher-bad-image", "not a firmware image"));
    HWND info = ToInfoPage(w);
    ASSERT_NE(info, nullptr);
    w.Click(info, res::idc::kUpdate);
    const std::string text = Box(w, kFlashPatience);
    EXPECT_EQ(text.substr(0, S(res::ids::kUpdateFailed).size()), S(res::ids::kUpdateFailed));
    EXPECT_NE(text.find("The flasher reported: Refused"), std::string::npos) << text;
    info = w.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(driver::Enabled(info, res::idc::kUpdate));
    w.Click(info, res::idc::kCancel);
    EXPECT_EQ(w.Ended(), 4u);

    // A flasher that reports success on a receiver that keeps its old firmware: the receiver has
    // the last word, so the same message with what it reported, and never the completion page.
    winetest::RemoteReceiver stubborn(2, "--fault keeps-old-version");
    ASSERT_TRUE(stubborn.Ok());
    Wizard& again = Start();
    HWND choose = ToPortPage(again, 2);
    ASSERT_NE(choose, nullptr);
    again.Click(choose, res::idc::kPortNext);
    info = again.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    again.Click(info, res::idc::kUpdate);
    EXPECT_EQ(Box(again, kFlashPatience),
              S(res::ids::kUpdateFailed) +
                  "\r\n\r\nThe receiver still runs firmware version 004, not 005.");
    EXPECT_EQ(again.Page("Update Successful", driver::Patience{0}), nullptr);
    info = again.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    again.Key(info, VK_ESCAPE);
    EXPECT_EQ(again.Ended(), 4u);
}

// No firmware file beside the wizard: the flasher ends at once, 126, and the page again.
TEST_F(WizardE2E, ReportsAMissingFirmwareFile) {
    winetest::RemoteReceiver receiver(1, "");
    ASSERT_TRUE(receiver.Ok());
    const std::string folder = WizardFolder("reflasher-no-image", "");
    Wizard& w = Start(folder);
    HWND info = ToInfoPage(w);
    ASSERT_NE(info, nullptr);
    w.Click(info, res::idc::kUpdate);
    EXPECT_EQ(Box(w, kFlashPatience), fmt::sprintf(S(res::ids::kFirmwareNotFound), "508231.005") +
                                          "\r\n\r\nLooked in: " + folder);
    info = w.Page("Receiver Information");
    ASSERT_NE(info, nullptr);
    w.Key(info, VK_ESCAPE);
    EXPECT_EQ(w.Ended(), 4u);
}

// The About box from the Welcome page's window menu; then Escape ends the program.
TEST_F(WizardE2E, ShowsTheAboutBoxFromTheWindowMenu) {
    Wizard& w = Start();
    HWND welcome = w.Page("Welcome");
    ASSERT_NE(welcome, nullptr);
    w.WindowMenu(welcome, 0x0010);
    HWND about = w.Page("About Reflasher");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(GetWindow(about, GW_OWNER), welcome);
    EXPECT_FALSE(IsWindowEnabled(welcome));
    w.Key(about, VK_RETURN);  // OK is the default button
    welcome = w.Page("Welcome");
    ASSERT_NE(welcome, nullptr);
    EXPECT_FALSE(w.Shows("About Reflasher"));
    w.Key(welcome, VK_ESCAPE);
    EXPECT_EQ(w.Ended(), 3u);
}

// Cancel and Escape end the program from every page that has them.
TEST_F(WizardE2E, CancelAndEscapeEndTheProgramOnEveryPage) {
    winetest::RemoteReceiver receiver(1, "");
    ASSERT_TRUE(receiver.Ok());
    enum class Where { Welcome, Choose, Restore, Information };
    for (Where where : {Where::Welcome, Where::Choose, Where::Restore, Where::Information}) {
        for (bool escape : {false, true}) {
            SCOPED_TRACE(std::to_string(int(where)) + (escape ? " Escape" : " Cancel"));
            Wizard& w = Start();
            HWND page = w.Page("Welcome");
            ASSERT_NE(page, nullptr);
            if (where != Where::Welcome) {
                w.Click(page, res::idc::kWelcomeNext);
                page = w.Page("Choose Connection");
                ASSERT_NE(page, nullptr);
            }
            if (where == Where::Restore) {
                w.Click(page, res::idc::kPortRestore);
                page = w.Page("Restore");
            } else if (where == Where::Information) {
                w.Click(page, res::idc::kPortNext);
                page = w.Page("Receiver Information");
            }
            ASSERT_NE(page, nullptr);
            if (escape) {
                w.Key(page, VK_ESCAPE);
            } else {
                w.Click(page, res::idc::kCancel);
            }
            EXPECT_EQ(w.Ended(), 3u);
            wizard_.reset();
        }
    }
}

// The keyboard as Windows users expect it: Alt+mnemonic, Tab, arrows in the radio group, Enter.
TEST_F(WizardE2E, TakesTheKeyboardAsDialogsDo) {
    winetest::RemoteReceiver receiver(1,
                                      "--version 169-508231-004");  // what a held Enter could flash
    ASSERT_TRUE(receiver.Ok());
    Wizard& w = Start();
    HWND welcome = w.Page("Welcome");
    ASSERT_NE(welcome, nullptr);
    w.AltKey(welcome, 'n');  // &Next
    HWND choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    w.AltKey(choose, 'r');  // &Restore
    HWND restore = w.Page("Restore");
    ASSERT_NE(restore, nullptr);
    ASSERT_TRUE(w.Settled(restore));
    EXPECT_EQ(w.Focus(restore), GetDlgItem(restore, res::idc::kWhiteTop));  // the first tab stop
    w.Key(restore, VK_DOWN);  // the arrow moves the check within the group
    EXPECT_TRUE(driver::WaitFor([&] {
        return driver::Checked(restore, res::idc::kGreyTop) &&
               !driver::Checked(restore, res::idc::kWhiteTop);
    }));
    w.Key(restore, VK_TAB);
    EXPECT_TRUE(driver::WaitFor(
        [&] { return w.Focus(restore) == GetDlgItem(restore, res::idc::kRestore); }));
    w.AltKey(restore, 'b');  // &Back
    choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    w.AltKey(choose, 'b');  // &Back again: the Welcome page
    welcome = w.Page("Welcome");
    ASSERT_NE(welcome, nullptr);
    // Enter held down: Next is the default button; its repeats (bit 30 set, 30 a second, to
    // whatever has the focus) reach no other page.
    ASSERT_TRUE(w.Settled(welcome));
    for (int i = 0; i <= 90; ++i, Sleep(33)) {
        if (HWND focus = w.Focus(welcome))
            PostMessageA(focus, WM_KEYDOWN, VK_RETURN, i ? 0x40000001 : 1);
    }
    if (HWND focus = w.Focus(welcome)) PostMessageA(focus, WM_KEYUP, VK_RETURN, LPARAM(0xC0000001));
    choose = w.Page("Choose Connection");
    ASSERT_NE(choose, nullptr);
    w.AltKey(choose, 'c');  // &Cancel
    EXPECT_EQ(w.Ended(), 3u);
}

}  // namespace

namespace {

std::string KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) {
        for (const wchar_t* c = path; *c; ++c)
            folder += char(*c);  // the prefix's folders are ASCII
    }
    CoTaskMemFree(path);
    return folder;
}

// A silent install into a folder with an emoji; the operator copies the vendor's files in (here
// the stand-in and the test image); an update with a Chinese and Japanese TMP, during which the
// installer and uninstaller refuse; a reinstall into the recorded folder; the uninstall, which
// leaves the operator's files.
TEST_F(WizardE2E, InstallsUpdatesFromAnyFolderAndKeepsTheVendorsFiles) {
    const std::string setup =
        driver::OwnFolder() + "\\..\\dist\\Reflasher-" REFLASHER_VERSION "-setup.exe";
    ASSERT_TRUE(driver::Exists(setup)) << setup;
    const std::string folder = KnownFolder(FOLDERID_ProgramFiles) + "\\Reflasher \U0001F4DF";
    const std::string shortcut = KnownFolder(FOLDERID_CommonPrograms) + "\\Reflasher.lnk";
    driver::RemoveTree(folder);  // a run broken off earlier
    auto install = [&](const std::string& arguments) {
        Wizard setupRun(setup, arguments);
        return setupRun.Ended().value_or(99);
    };
    EXPECT_EQ(install("/S /D=" + folder), 0u);
    // What the zip holds (Reflasher.exe, reflasher-cli.exe, the read-me) and the uninstaller; no
    // flasher, no firmware.
    std::vector<std::string> shipped =
        driver::Entries(driver::OwnFolder() + "\\..\\dist\\stage\\Reflasher");
    EXPECT_GE(shipped.size(), 2u);
    if (REFLASHER_SHIPS_CLI) {
        EXPECT_EQ(std::count(shipped.begin(), shipped.end(), "reflasher-cli.exe"), 1);
    }
    shipped.push_back("Uninstall.exe");
    std::vector<std::string> installed = driver::Entries(folder);
    std::sort(shipped.begin(), shipped.end());
    std::sort(installed.begin(), installed.end());
    EXPECT_EQ(installed, shipped);
    EXPECT_TRUE(driver::Exists(shortcut)) << shortcut;
    const std::vector<std::string> vendors = {"prog.exe", "508231.005"};
    for (const std::string& file : vendors)
        ASSERT_TRUE(driver::Copy(driver::OwnFolder() + "\\" + file, folder + "\\" + file));

    driver::RemoveTree(temp_);
    temp_ = driver::FreshFolder("\u4E34\u65F6 \u30D5\u30A9\u30EB\u30C0");
    {
        winetest::RemoteReceiver receiver(1, "");
        ASSERT_TRUE(receiver.Ok());
        Wizard& w = Start(folder);
        HWND info = ToInfoPage(w);
        ASSERT_NE(info, nullptr);
        w.Click(info, res::idc::kUpdate);
        HWND done = w.Page("Update Successful", kFlashPatience);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(driver::Text(done, res::idc::kMessage),
                  fmt::sprintf(S(res::ids::kUpdated), "VIZ12345678", "004", "005"));
        EXPECT_EQ(install("/S"), 2u);
        Wizard uninstall(folder + "\\Uninstall.exe", "/S _?=" + folder);  // in place: its own code
        EXPECT_EQ(uninstall.Ended(), 2u);
        EXPECT_EQ(driver::Entries(folder).size(), shipped.size() + 2);
        w.Click(done, res::idc::kNo);
        EXPECT_EQ(w.Ended(), 0u);
        wizard_.reset();
    }

    EXPECT_EQ(install("/S"), 0u);  // the recorded folder, not Program Files\Reflasher
    EXPECT_FALSE(driver::Exists(KnownFolder(FOLDERID_ProgramFiles) + "\\Reflasher"));
    EXPECT_EQ(driver::Entries(folder).size(), shipped.size() + 2);
    {
        // The uninstaller hands over to a copy of itself in the temporary folder and returns.
        Wizard uninstall(folder + "\\Uninstall.exe", "/S");
        EXPECT_EQ(uninstall.Ended(), 0u);
    }
    EXPECT_TRUE(driver::WaitFor([&] { return !driver::Exists(shortcut); }));
    EXPECT_TRUE(driver::WaitFor([&] { return driver::Entries(folder).size() == vendors.size(); }))
        << ::testing::PrintToString(driver::Entries(folder));
    for (const std::string& file : vendors)
        EXPECT_TRUE(driver::Exists(folder + "\\" + file)) << file;
    driver::RemoveTree(folder);
}

}  // namespace
