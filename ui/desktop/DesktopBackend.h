// The Qt 6 Widgets back end: the wizard's dialogs as windows on a Linux desktop (X11 or Wayland).
//
// Each page is a QDialog built from its template, with dialog units turned into pixels by the
// dialog font's average character width and height as Windows does (DialogUnits.h), holding real
// widgets: labels, read-only edits (multi-line ones wrap and scroll), push buttons with the
// default one and mnemonics, radio buttons, the drop-down list, pictures. Message boxes are small
// dialogs of the same kind with the warning icon. The widgets only show the framework's window
// model and bring the operator's input to it; they never decide anything themselves (a click the
// framework refuses is undone).
//
// Keys: Tab / Shift+Tab move the focus, arrows move in the radio group and the list, Enter presses
// the focused button or else the default one, Escape is Cancel, Alt+letter presses the button with
// that mnemonic (the plain letter too where the focused control does not take letters: a read-only
// text, a button; the list takes them, each press picking the next entry that begins with it).
// Qt has no window (system) menu of its own: ours (About on the Welcome page, minimise, close)
// opens with a right click anywhere on a page, with the Menu key or Shift+F10, and with Alt+Space
// where the window manager leaves that key to the program.
//
// Input and time: the framework's modal loops wait in waitInput, which runs Qt's event loop until
// the operator acts or the framework's next timer is due. Outside waitInput the operator's input to
// the wizard's windows is dropped, not queued: while the connecting sequence runs (busyPause keeps
// the windows painted meanwhile) and while the flasher runs (only its console window takes keys).
// Keys and clicks given before a window was shown never act on it, nor do the repeats of a key held
// down since then, until it is released and pressed again.
//
// Everything here runs on the thread that owns the QApplication, which must exist first.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/Backend.h"

class QEventLoop;
class QKeyEvent;
class QObject;
class QWidget;

namespace ui::desktop {

class WindowWidget;
class FlasherConsole;
class InputGate;

class DesktopBackend : public Backend, private ConsoleLender {
  public:
    DesktopBackend();
    ~DesktopBackend() override;
    DesktopBackend(const DesktopBackend&) = delete;
    DesktopBackend& operator=(const DesktopBackend&) = delete;

    // ---- The flasher's console window (Console.cpp): a pseudo-terminal of the wizard's own, on
    // which the flasher runs as in a terminal, shown in a window that passes it the operator's
    // keys. Makes the pseudo-terminal; false with `error` when there is none to be had. Until it is
    // made, the back end lends the flasher nothing.
    bool prepareConsole(std::string& error);
    ConsoleLender& console() override { return *this; }
    // The terminal device the flasher gets as its standard streams and controlling terminal.
    std::string terminal() const override;
    // Shows the console window, titled `title` and filled with `fillAttribute` (console colours:
    // background in the high four bits), emptied of what an earlier run left.
    void lend(const std::string& title, int fillAttribute) override;
    // Shows what the flasher wrote and lets the windows work (paint, the console's keys).
    bool keepGoing() override;
    // Shows the flasher's last output and closes the console window.
    void takeBack() override;

    // ---- For tests and the screenshot tool.
    // Whether the operator's input reaches the active window now (inside waitInput, after keys
    // typed before it was shown have been dropped).
    bool takingInput() const { return accepting_; }
    // The window the operator's input goes to (the most recently opened), or nullptr.
    const Window* activeWindow() const { return active(); }
    // The widget of an open window of the model, or nullptr. Controls in it carry their control
    // id as object name ("1009"); the console window is named "console".
    QWidget* widgetOf(const Window& window) const;

    // ---- Backend.
    Millis now() override;
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;
    void busyPause(Millis ms) override;
    void clientSize(const Window& window, int& width, int& height) override;

    // Called by the windows' widgets with what the operator did; taken only when it is the active
    // window's and the wizard waits for input (else dropped, and the widget shows the model again).
    void deliver(const Window& from, const Input& input);

  private:
    friend class InputGate;
    const Window* active() const { return open_.empty() ? nullptr : open_.back(); }
    WindowWidget* widget(const Window& window) const;
    // Whether `receiver` belongs to the console window, which takes keys while the flasher runs.
    bool inConsole(const QObject* receiver) const;
    // Runs Qt's event loop once over everything queued, with the operator's input to the windows
    // dropped (the keys and clicks typed before a window was shown).
    void dropQueuedInput();
    // Whether `key` repeats a key held down since before the active window was shown.
    bool heldOver(const QKeyEvent& key);

    std::vector<const Window*> open_;                 // oldest first; the last one gets the input
    std::map<const Window*, WindowWidget*> widgets_;  // owned: deleted when their window closes
    std::unique_ptr<InputGate> gate_;                 // the application-wide input filter
    std::unique_ptr<FlasherConsole> console_;
    QEventLoop* loop_ = nullptr;  // waitInput's loop while it runs
    bool accepting_ = false;      // inside waitInput: the active window takes input
    bool captured_ = false;       // waitInput got `input_`
    Input input_{InputKind::Repaint};
    // Windows opened or shown so far, and how many of them had been when queued input was last
    // dropped: input given before a window was shown never acts on it.
    int shown_ = 0;
    int droppedAt_ = 0;
    // Windows closed so far: shown_ + closed_ changes whenever another window becomes the active
    // one.
    int closed_ = 0;
    std::map<int, int>
        keyDownAt_;  // Qt key -> shown_ + closed_ when it last went down (not a repeat)
};

}  // namespace ui::desktop
