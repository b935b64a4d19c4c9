// An operator for the desktop window, for tests and the screenshot tool: a script of steps run
// from a Qt timer inside whatever event loop the wizard is in (its waits for input, its busy
// pauses, the flasher's console). Each step waits, up to a generous deadline, until its window is
// the active one and takes input (or its own condition holds), then clicks or types as a person
// would: through Qt's events to the widgets, never through the framework.
//
// A step that cannot happen by its deadline, or a wizard that still waits when the script is
// used up, is recorded as an error; the operator then presses Escape until the wizard has ended.
#pragma once

#include <QString>
#include <Qt>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QPlainTextEdit;
class QTimer;
class QWidget;

namespace ui::desktop {
class DesktopBackend;
}

namespace desktop_test {

class Operator {
  public:
    Operator();
    ~Operator();

    // ---- The script. `title` is the window that must be the active one and take input.
    Operator& click(const std::string& title, int controlId);
    // A key to the window's focused control (or to the window when nothing has the focus).
    Operator& key(const std::string& title, int key,
                  Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Opens drop-down list `listId` and clicks entry `index` in it.
    Operator& pick(const std::string& title, int listId, int index);
    // A right click on the page (at its bottom-left corner), then the window-menu item `text`.
    Operator& windowMenu(const std::string& title, const QString& text);
    // Runs `check` with the window's widget.
    Operator& check(const std::string& title, std::function<void(QWidget* window)> check);
    // Waits until `condition` holds (whatever window is active), then runs `act`.
    Operator& when(std::string what, std::function<bool()> condition,
                   std::function<void()> act = {});
    // Runs `look` on every tick, from the start to the end of the run (to see what passes by).
    Operator& watch(std::function<void()> look);

    // ---- Running. The operator acts while the wizard runs with `backend` (between start and
    // stop).
    void start(ui::desktop::DesktopBackend& backend);
    void stop();
    const std::vector<std::string>& errors() const { return errors_; }
    bool done() const { return steps_.empty(); }
    // The titles of the active windows the operator saw, each time it changed.
    const std::vector<std::string>& trail() const { return trail_; }

    // ---- Helpers for checks.
    ui::desktop::DesktopBackend& backend() const { return *backend_; }
    // The active window's widget when it is titled `title`, else nullptr.
    QWidget* window(const std::string& title) const;
    // The visible top-level widget titled `title` (active or not), else nullptr.
    static QWidget* shown(const std::string& title);
    // The flasher's console window while it is open, else nullptr.
    static QPlainTextEdit* console();
    // Sends a key to the console window, as typed there.
    static void typeIntoConsole(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

    // The generous deadline of each step (a loaded machine, the sanitizers).
    static constexpr std::chrono::seconds kStepDeadline{90};

  private:
    struct Step {
        std::string what;
        std::function<bool()> ready;
        std::function<void()> act;
        std::chrono::steady_clock::time_point deadline{};
        bool started = false;
    };
    Operator& add(Step step);
    Operator& at(const std::string& title, std::string what,
                 std::function<void(QWidget* window)> act);
    void tick();
    void error(const std::string& what);
    std::string state() const;

    ui::desktop::DesktopBackend* backend_ = nullptr;
    std::unique_ptr<QTimer> timer_;
    std::deque<Step> steps_;
    std::vector<std::function<void()>> watches_;
    std::vector<std::string> errors_;
    std::vector<std::string> trail_;
    bool unwinding_ = false;
    bool inTick_ = false;
    std::chrono::steady_clock::time_point idleSince_{};
};

// Problems with how a window lays out its texts: a text wider or taller than its control, a
// control outside the window. Empty when everything fits.
std::vector<std::string> layoutProblems(QWidget* window);

}  // namespace desktop_test
