// wizard_screenshots: walks Reflasher.exe through every page and the main message boxes with the
// wizard driver and writes a PNG of each window as the screen shows it, frame included. Run by
// tests/wine/take-screenshots in a Wine virtual desktop on Xvfb (a display is needed: the tests'
// null graphics driver draws nothing).
// Usage: wizard_screenshots <folder> [<suffix of the file names>]
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/win32/WizardDriver.h"
#include "res/Resource.h"
#include "tests/wine/RemotePty.h"

namespace {

std::string gFolder, gSuffix;
int gFailures = 0;

// The window painted anew, then written as <name><suffix>.png.
void Shoot(HWND window, const std::string& name) {
    if (!window) {
        std::fprintf(stderr, "wizard_screenshots: no window for %s\n", name.c_str());
        ++gFailures;
        return;
    }
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    // Wine hands what a window painted to the X server a little later.
    driver::WaitFor([] { return false; }, driver::Patience(600));
    const std::string path = gFolder + "\\" + name + gSuffix + ".png";
    if (!driver::CaptureWindow(window, path)) {
        RECT r{};
        const BOOL placed = GetWindowRect(window, &r);
        std::fprintf(stderr,
                     "wizard_screenshots: cannot write %s (window %s, %ldx%ld, error %lu)\n",
                     path.c_str(), placed ? "placed" : "gone", r.right - r.left, r.bottom - r.top,
                     GetLastError());
        ++gFailures;
        return;
    }
    std::printf("%s\n", path.c_str());
}

HWND BoxWindow(driver::Wizard& w, const std::string& caption = "Reflasher") {
    auto box = w.Box(caption);
    return box ? box->hwnd : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wizard_screenshots <folder> [suffix]\n");
        return 2;
    }
    gFolder = argv[1];
    gSuffix = argc > 2 ? argv[2] : "";
    const std::string program = driver::OwnFolder() + "\\Reflasher.exe";

    winetest::RemoteReceiver healthy(1, "--version 169-508231-004");
    winetest::RemoteReceiver weak(2, "--battery 3000");
    // Noise without end: each try of the connecting page lasts its longest.
    winetest::RemoteReceiver noisy(3, "--fault noise-flood");
    if (!healthy.Ok() || !weak.Ok() || !noisy.Ok()) {
        std::fprintf(stderr,
                     "wizard_screenshots: no simulated receivers (run under run-under-wine)\n");
        return 1;
    }

    driver::Wizard w(program);
    HWND welcome = w.Page("Welcome");
    // (Shoot waits a little more: the animation is still moving then.)
    Shoot(welcome, "welcome");
    w.WindowMenu(welcome, 0x0010);
    HWND about = w.Page("About Reflasher");
    Shoot(about, "about");
    w.Key(about, VK_RETURN);

    welcome = w.Page("Welcome");
    w.Click(welcome, res::idc::kWelcomeNext);
    HWND choose = w.Page("Choose Connection");
    Shoot(choose, "choose-connection");

    // Only noise on COM3: the connecting page while it tries, then message 109.
    w.Select(choose, res::idc::kPortList, 2);
    w.Click(choose, res::idc::kPortNext);
    HWND connecting = nullptr;
    driver::WaitFor([&] {
        return (connecting = FindWindowA("#32770", "Connecting")) != nullptr &&
               IsWindowVisible(connecting);
    });
    Shoot(connecting, "connecting");
    HWND box = BoxWindow(w);
    Shoot(box, "message-no-receiver");
    if (auto seen = w.Box()) w.Answer(*seen);

    // A weak battery on COM2: message 115.
    choose = w.Page("Choose Connection");
    w.Select(choose, res::idc::kPortList, 1);
    w.Click(choose, res::idc::kPortNext);
    HWND info = w.Page("Receiver Information");
    w.Click(info, res::idc::kUpdate);
    Shoot(BoxWindow(w), "message-low-battery");
    if (auto seen = w.Box()) w.Answer(*seen);
    info = w.Page("Receiver Information");
    w.Click(info, res::idc::kBack);

    // The update road on COM1, through the flasher's console, to the completion page.
    choose = w.Page("Choose Connection");
    w.Select(choose, res::idc::kPortList, 0);
    w.Click(choose, res::idc::kPortNext);
    info = w.Page("Receiver Information");
    Shoot(info, "receiver-information");
    w.Click(info, res::idc::kUpdate);
    HWND console = nullptr;
    // The console host may hold more windows of that title: the visible one with a size.
    driver::WaitFor([&] {
        EnumWindows(
            [](HWND hwnd, LPARAM found) -> BOOL {
                char title[64] = {};
                RECT r{};
                GetWindowTextA(hwnd, title, sizeof title);
                if (std::string(title) != "Installing Firmware" || !IsWindowVisible(hwnd) ||
                    !GetWindowRect(hwnd, &r) || r.right <= r.left || r.bottom <= r.top)
                    return TRUE;
                *reinterpret_cast<HWND*>(found) = hwnd;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&console));
        return console != nullptr;
    });
    // How long the flasher takes here depends on the machine: the picture is taken again every
    // half second while its console is there, so the last one shows the progress bar furthest on.
    const std::string consolePicture = gFolder + "\\flasher-console" + gSuffix + ".png";
    int consoleShots = 0;
    while (IsWindow(console) && driver::CaptureWindow(console, consolePicture)) {
        ++consoleShots;
        driver::WaitFor([] { return false; }, driver::Patience(500));
    }
    if (consoleShots == 0)
        Shoot(nullptr, "flasher-console");
    else
        std::printf("%s\n", consolePicture.c_str());
    HWND done = w.Page("Update Successful", driver::Patience(300000));
    Shoot(done, "update-successful");
    w.Click(done, res::idc::kYes);

    choose = w.Page("Choose Connection");
    w.Click(choose, res::idc::kPortRestore);
    HWND restore = w.Page("Restore");
    Shoot(restore, "restore");
    w.Click(restore, res::idc::kCancel);
    w.Ended();
    return gFailures == 0 ? 0 : 1;
}
