// The native Windows back end: every page is a real dialog, created from its template in the
// module's resources (res/rc writes them from res/ at build time), with real controls, the
// dialog manager's keyboard handling (IsDialogMessage: Tab, arrows, Alt+mnemonic, Enter for the
// default button, Escape for Cancel) and the system's message boxes.
//
// The framework keeps its modal loops; this back end pumps the thread's message queue while the
// framework waits for the operator and turns what the controls report (BN_CLICKED,
// CBN_SELCHANGE, WM_SYSCOMMAND) into the framework's input. Pages are modeless dialogs owned by
// the first page (the main window), so only that one is in the task bar; whichever window was
// opened last is the only one enabled. A timer's deadline is a window timer on a window of the
// back end's own. Keyboard and mouse messages queued while the wizard was busy are dropped when
// the next window is shown, and so are the repeats of a key held down since before it was shown,
// until the key is released and pressed again (pages and message boxes alike).
//
// Everything runs on the user-interface thread that created the back end.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "ui/Backend.h"

namespace ui::win32 {

class Win32Backend : public Backend, private ConsoleLender {
  public:
    // `instance` is the module (HINSTANCE) whose resources hold the dialog templates, the icons
    // and the bitmaps. Throws std::runtime_error when the back end's own window cannot be made.
    explicit Win32Backend(void* instance);
    ~Win32Backend() override;
    Win32Backend(const Win32Backend&) = delete;
    Win32Backend& operator=(const Win32Backend&) = delete;

    // ---- ConsoleLender: the flasher runs in a console window of its own. While it runs, a session
    // that ends is refused with a reason (a flash broken off leaves the receiver without
    // firmware), and keepGoing() lets the wizard's windows paint and answer other programs while
    // input stays queued.
    ConsoleLender& console() override { return *this; }
    void lend(const std::string& title, int fillAttribute) override;
    void takeBack() override;
    bool keepGoing() override;

    // The window (HWND) shown for `window`, nullptr when there is none (message boxes are the
    // system's and are not kept).
    void* handleOf(const Window& window) const;

    // Whether the message (a MSG) is the repeat of a key held down since before the window on
    // top was shown: it is dropped. Also called by the message boxes' message filter.
    bool heldOver(const void* msg);

    // ---- Backend.
    Millis now() override;
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;
    void busyPause(Millis ms) override;
    int iconSize() override;
    void clientSize(const Window& window, int& width, int& height) override;
    void drawIcon(const Window& window, int x, int y, const res::Picture& icon) override;

    struct View;
    // The pages' dialog procedure hands each message here; true when it was handled, with the
    // procedure's result in `result`.
    bool handle(View& view, unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                std::intptr_t& result);

  private:
    View* viewOf(const Window& window) const;
    View* viewOf(void* hwnd) const;
    // The window that takes input now: the last one opened, if it is a visible page.
    bool takesInput(const View& view) const;
    void queue(const Input& input) { pending_.push_back(input); }
    void dropTypedAhead();
    bool showMessageBox(Input& input);
    void route(void* msg);
    void paintPending();
    void updateEnabling();

    void applyAll(View& view);
    void applyControl(View& view, std::size_t index, Change change);
    void applyPicture(View& view, std::size_t index);
    void applyIcons(View& view);
    void applyWindowMenu(View& view);
    unsigned dpiOf(const View& view) const;
    static void scrollIfLonger(void* edit);

    void* instance_;
    void* timerWindow_ = nullptr;      // a message-only window: the waits' window timer
    std::vector<const Window*> open_;  // oldest first; the last one gets the input
    std::map<const Window*, std::unique_ptr<View>> views_;
    const Window* pendingBox_ = nullptr;  // a message box opened and not shown yet
    std::deque<Input> pending_;           // input the controls reported, not handed on yet
    bool flasherRunning_ = false;
    bool quitting_ = false;  // WM_QUIT came: the wizard is to unwind
    // Windows opened or shown so far, and how many had been when typed-ahead input was last
    // dropped.
    int shown_ = 0;
    int flushedAt_ = 0;
    // Windows closed so far: shown_ + closed_ changes whenever another window becomes the active
    // one.
    int closed_ = 0;
    std::map<std::uintptr_t, int>
        keyDownAt_;  // virtual key -> shown_ + closed_ when it last went down
};

}  // namespace ui::win32
