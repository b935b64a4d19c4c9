// Reflasher.exe: the wizard in native Windows dialogs. A GUI program (no console of its own);
// the flasher gets a console window of its own. Its folder holds this program, and the vendor's
// prog.exe and firmware files that the operator puts beside it; the dialogs, texts and pictures
// are its resources.
//
// DLLs: the program imports only the system's known DLLs (kernel32, user32, gdi32, advapi32,
// msvcrt), which are always taken from the system folder. Before anything else it limits every
// later load (comctl32.dll here, and the ones the system DLLs make themselves, such as
// uxtheme.dll or dwmapi.dll for the windows' looks) to the system folder, so that a DLL planted
// beside a copy unzipped into a downloads folder is never loaded.
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <exception>
#include <string>
#include <vector>

#include "source/Reflasher.h"
#include "ui/Dialog.h"
#include "ui/win32/Win32Backend.h"

namespace {

// The wizard could not start (the others are SessionExitCode's, as the terminal front end's).
constexpr int kExitCannotStart = 1;

// Held for as long as a wizard runs, in every session of the machine: the installer and the
// uninstaller look for it and refuse to replace or remove the program meanwhile. The same name is
// in installer/Reflasher.nsi.
constexpr wchar_t kRunningMutex[] = L"Global\\Reflasher.Wizard.Running";

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before any window or common control exists: those load DLLs of their own.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Closed by the system when the process ends, however it ends.
    HANDLE running = CreateMutexW(nullptr, FALSE, kRunningMutex);
    (void)running;

    // Common controls 6 (the manifest asks for them) draw the standard controls with the
    // system's visual style. Loaded here rather than imported: comctl32 is not a known DLL.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    if (HMODULE comctl32 = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
        if (auto init = reinterpret_cast<Init>(
                reinterpret_cast<void*>(GetProcAddress(comctl32, "InitCommonControlsEx"))))
            init(&controls);
    }

    std::vector<wchar_t> path(32768, L'\0');
    GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    const std::string programName = ui::programNameFromPath(Utf8(path.data()));
    try {
        ui::win32::Win32Backend backend(instance);
        ReflasherApp app(backend, programName);
        app.initInstance();
        return SessionExitCode(app.outcome());
    } catch (const std::exception& e) {
        MessageBoxA(nullptr, e.what(), programName.c_str(), MB_OK | MB_ICONERROR);
        return kExitCannotStart;
    }
}
