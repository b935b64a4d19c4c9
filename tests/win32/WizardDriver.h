// Drives Reflasher.exe from another process, as an operator would: it finds the program's
// windows (dialogs of class #32770 by caption and owning process; message boxes by caption and
// owner), reads control texts with WM_GETTEXT, picks list entries (CB_SETCURSEL and the
// CBN_SELCHANGE a real click sends), presses buttons with a posted BM_CLICK (a sent one would
// block on the next modal page), types keys into the focused control, answers message boxes,
// and waits by polling with time limits, never by fixed sleeps.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace driver {

using Patience = std::chrono::milliseconds;
// Generous: the machine is loaded, and Wine starts programs slowly.
constexpr Patience kPatience{90000};

struct MessageBoxSeen {
    HWND hwnd = nullptr;
    HWND owner = nullptr;
    std::string caption;
    std::string text;
    bool icon = false;  // an icon beside the text
    bool ok = false;    // an OK button, and no other
};

// One run of the wizard (or of any GUI program: the installer's too).
class Wizard {
  public:
    // Starts `program` (full path) with `arguments` (UTF-8 both), in its own folder, with
    // `tempFolder` as its TMP and TEMP (empty: the driver's own).
    Wizard(const std::string& program, const std::string& arguments = {},
           const std::string& tempFolder = {});
    // Ends the program if it still runs, and waits for it.
    ~Wizard();
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    bool Started() const { return process_.hProcess != nullptr; }

    // The program's visible page titled `title` once it takes input (enabled); nullptr when
    // none came within `patience`.
    HWND Page(const std::string& title, Patience patience = kPatience) const;
    // The visible message box captioned `caption`; nothing when none came within `patience`.
    std::optional<MessageBoxSeen> Box(const std::string& caption = "Reflasher",
                                      Patience patience = kPatience) const;
    // Captions of the program's visible top-level windows, topmost first.
    std::vector<std::string> VisibleWindows() const;
    // Whether the program has a visible window captioned `title` (pages or boxes).
    bool Shows(const std::string& title) const;

    // Presses OK in a message box.
    void Answer(const MessageBoxSeen& box) const;
    void Click(HWND page, int id) const;
    void Select(HWND page, int id, int index) const;
    // A key pressed in the page's focused control, once the program waits for input.
    void Key(HWND page, UINT virtualKey) const;
    // Alt and a letter (a mnemonic), once the program waits for input.
    void AltKey(HWND page, char letter) const;
    // A command of the window menu, as the system sends it.
    void WindowMenu(HWND page, UINT command) const;
    // True once the program waits for input (it answers a message sent to `page`).
    bool Settled(HWND page) const;
    // The control that has the keyboard focus in the program, or nullptr.
    HWND Focus(HWND page) const;

    // The exit code once the program has ended; nothing when it still runs after `patience`.
    std::optional<DWORD> Ended(Patience patience = kPatience) const;

  private:
    PROCESS_INFORMATION process_{};
};

// Control state, read from another process.
std::string Text(HWND window);
std::string Text(HWND page, int id);
bool Enabled(HWND page, int id);
bool Visible(HWND page, int id);
bool Checked(HWND page, int id);
int Selection(HWND page, int id);
std::vector<std::string> Items(HWND page, int id);
// The first icon the control (a static with SS_ICON or SS_BITMAP) shows, for telling pictures
// apart: the image's size.
SIZE PictureSize(HWND page, int id);

// Polls `condition` until it holds (true) or `patience` runs out (false).
bool WaitFor(const std::function<bool()>& condition, Patience patience = kPatience);

// Files and processes. Paths are UTF-8 (a folder may be named in any script).
std::string OwnFolder();                           // without a trailing '\'
std::string FreshFolder(const std::string& name);  // made anew in %TEMP%
void RemoveTree(const std::string& folder);
std::vector<std::string> Entries(const std::string& folder);  // names, "." and ".." left out
bool Exists(const std::string& path);
bool Copy(const std::string& from, const std::string& to);
int ProcessesNamed(const std::string& imageName);  // running processes of that image

// Writes `window` (with its frame) as it is on the screen into a PNG file.
bool CaptureWindow(HWND window, const std::string& pngPath);

}  // namespace driver
