// Reflasher.exe: the wizard in native Windows dialogs. A GUI program (no console of its own);
// the flasher gets a console window of its own. Its folder holds this program, prog.exe and the
// firmware files; the dialogs, texts and pictures are its resources.
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <exception>
#include <string>

#include "source/Reflasher.h"
#include "ui/Dialog.h"
#include "ui/win32/Win32Backend.h"

namespace {

// The wizard could not start (the others are SessionExitCode's, as the terminal front end's).
constexpr int kExitCannotStart = 1;

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Common controls 6 (the manifest asks for them) draw the standard controls with the
    // system's visual style.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string programName = ui::programNameFromPath(path);
    try {
        ui::win32::Win32Backend backend(instance);
        WizardSurroundings surroundings;
        // The flasher's console window is its own (CREATE_NEW_CONSOLE); meanwhile the wizard's
        // windows stay painted and the session's end waits for the flasher.
        surroundings.flasher.console.open = [&backend](const std::string&, int) {
            backend.flasherStarted();
        };
        surroundings.flasher.console.close = [&backend] { backend.flasherEnded(); };
        surroundings.flasher.console.idle = [&backend] { backend.keepPainted(); };
        ReflasherApp app(backend, programName, std::move(surroundings));
        app.initInstance();
        return SessionExitCode(app.outcome());
    } catch (const std::exception& e) {
        MessageBoxA(nullptr, e.what(), programName.c_str(), MB_OK | MB_ICONERROR);
        return kExitCannotStart;
    }
}
