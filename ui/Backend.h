// The seam between the dialog framework (ui/Dialog.h) and a back end that shows its windows and
// brings the operator's input: headless/ (a scripted operator for tests), terminal/ (ncurses), ...
//
// The framework owns the window model below and changes it only on the user-interface thread; it
// tells the back end of every change and asks it for the clock and for input. A back end reads the
// model (and the dialog template each window was built from) to render, and never changes it.
// All calls come from the user-interface thread, from inside the framework's modal loops.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "res/Dialogs.h"
#include "res/Pictures.h"
#include "ui/ConsoleLender.h"

namespace ui {

enum class WindowKind { Dialog, MessageBox };
enum class MessageIcon { None, Exclamation };

struct MenuItem {
    unsigned command;  // 0 for a separator
    std::string text;
};

// One control as shown now.
struct Control {
    const res::ControlTemplate* tmpl = nullptr;  // kind, position, size and styles
    int id = 0;
    std::string text;  // edit or label text (buttons keep their template text)
    bool visible = true;
    bool enabled = true;
    bool checked = false;                   // radio buttons
    std::vector<std::string> items;         // drop-down lists, in list order
    int selection = -1;                     // drop-down lists: selected index, -1 for none
    const res::Picture* picture = nullptr;  // picture controls: what they show
};

// One open window: a page (built from a dialog template) or a message box.
struct Window {
    WindowKind kind = WindowKind::Dialog;
    const res::DialogTemplate* tmpl = nullptr;  // nullptr for message boxes
    std::string title;                          // the caption
    bool visible = false;
    bool iconic = false;                   // minimised
    int largeIcon = 0, smallIcon = 0;      // icon resource ids, 0 for none
    std::vector<Control> controls;         // in tab order
    std::vector<MenuItem> windowMenu;      // items added to the standard window menu
    std::string text;                      // message boxes: the message
    MessageIcon icon = MessageIcon::None;  // message boxes: the icon

    const Control* control(int id) const;
    // The default push button's id, or 0.
    int defaultButton() const;
};

// What changed in a window, for Backend::windowChanged.
enum class Change {
    Visibility,
    Iconic,
    Title,
    Icon,
    WindowMenu,  // whole window
    Text,
    Enabled,
    ControlVisibility,
    Checked,
    Items,
    Selection,
    Picture,  // control `id`
};

// The operator's input; it goes to the active (most recently opened) window.
enum class InputKind {
    Press,       // click button or radio button `control`
    Select,      // select entry `index` of drop-down list `control`
    Enter,       // the Enter key
    Escape,      // the Escape key
    WindowMenu,  // choose `command` from the window menu (also the standard close/minimise/restore)
    Repaint,     // every visible window must be painted again (it was covered)
};

struct Input {
    InputKind kind;
    int control = 0;
    int index = 0;
    unsigned command = 0;
};

// Milliseconds on the back end's clock; timers run on it.
using Millis = std::int64_t;
constexpr Millis kForever = std::numeric_limits<Millis>::max();

class Backend {
  public:
    virtual ~Backend() = default;

    // The back end's clock (monotonic). The headless back end's clock moves only when the script
    // lets time pass; a real one is the system's steady clock.
    virtual Millis now() = 0;
    // Waits for the operator until `deadline` on that clock: true with `input`, false at the
    // deadline. kForever: no deadline.
    virtual bool waitInput(Millis deadline, Input& input) = 0;

    virtual void windowOpened(const Window& window) = 0;
    virtual void windowChanged(const Window& window, Change change, int controlId) = 0;
    // `result` is the value the window ended with (1 OK, 2 Cancel).
    virtual void windowClosed(const Window& window, int result) = 0;
    // The framework refused `input` (no such control, disabled, hidden, ...).
    virtual void inputIgnored(const Window& window, const Input& input, const char* reason) = 0;

    // The wizard is busy for `ms` milliseconds on the user-interface thread (the connecting
    // sequence's pauses) and takes no input meanwhile. A back end with windows of its own may keep
    // them painted, but must leave the operator's input queued, not act on it. The default sleeps.
    virtual void busyPause(Millis ms);

    // What the back end lends the flasher as its console while it runs. The default lends
    // nothing (ConsoleLender's defaults).
    virtual ConsoleLender& console();

    // Painting a minimised window: the icon size and the client area in pixels, and the one
    // drawing operation the pages use.
    virtual int iconSize() { return 32; }
    virtual void clientSize(const Window& window, int& width, int& height);
    virtual void drawIcon(const Window& window, int x, int y, const res::Picture& icon);
};

}  // namespace ui
