// A back end without a screen, for tests: an operator script drives the wizard and everything the
// wizard shows is recorded for the test to read.
//
// The script is a queue of steps, consumed whenever the framework waits for the operator (in a
// page's modal loop or a message box's, however deeply nested). Time passes only when a step lets
// it pass: the clock is virtual, so page timers tick exactly as the script says. Steps that do not
// fit (a box to answer when none is open, a page other than the one expected, input the page
// refuses) are recorded as script errors; when the script runs out while the wizard still waits,
// that is an error too and the operator presses Escape until the wizard has unwound.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/Backend.h"

namespace ui::headless {

struct ShownMessageBox {
    std::string caption;
    std::string text;
    MessageIcon icon;
};

class HeadlessBackend : public Backend {
  public:
    // ---- The script: each call appends one step; `page` (a title) checks the active window.
    HeadlessBackend& press(int controlId, std::string page = {});
    HeadlessBackend& select(int listId, int index, std::string page = {});
    HeadlessBackend& enter(std::string page = {});
    HeadlessBackend& escape(std::string page = {});
    HeadlessBackend& windowMenu(unsigned command, std::string page = {});
    HeadlessBackend& repaint();
    // Presses OK in the message box that must be open; a non-empty `text` must be its text.
    HeadlessBackend& answerMessageBox(std::string text = {});
    HeadlessBackend& letTimePass(Millis ms);
    // Runs `check` at this point of the script (to look at what is shown mid-way).
    HeadlessBackend& then(std::function<void(HeadlessBackend&)> check);

    // ---- What was shown.
    // "open <title>", "hide <title>", "show <title>", "end <title> OK|Cancel", "box <text>",
    // in order.
    const std::vector<std::string>& events() const { return events_; }
    // Only the "open" and "end" events: the order in which pages opened and ended.
    std::vector<std::string> pageOrder() const;
    const std::vector<ShownMessageBox>& messageBoxes() const { return boxes_; }
    // Every text control `id` of windows titled `title` showed, in order (changes only).
    std::vector<std::string> textHistory(const std::string& title, int id) const;
    // Every picture control `id` of windows titled `title` showed, as resource ids (changes only).
    std::vector<int> pictureHistory(const std::string& title, int id) const;
    // Icons drawn while painting minimised windows: "title icon x y".
    const std::vector<std::string>& drawnIcons() const { return drawn_; }
    const std::vector<std::string>& errors() const { return errors_; }
    bool scriptDone() const { return steps_.empty(); }

    // The most recently opened window titled `title` that is still open, else the state it was in
    // when it closed; nullptr if there never was one.
    const Window* window(const std::string& title) const;
    // The active window (the one input goes to), or nullptr.
    const Window* active() const;
    bool visible(const std::string& title) const;
    std::string text(const std::string& title, int id) const;
    bool enabled(const std::string& title, int id) const;
    int selection(const std::string& title, int id) const;
    // The resource id of the picture shown by control `id`, 0 for none.
    int picture(const std::string& title, int id) const;

    // ---- Backend.
    Millis now() override { return now_; }
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;
    void drawIcon(const Window& window, int x, int y, const res::Picture& icon) override;

  private:
    enum class StepKind { Input, Answer, Time, Check };
    struct Step {
        explicit Step(StepKind k, Input in = {InputKind::Escape}, std::string expected = {})
            : kind(k), input(in), page(std::move(expected)) {}
        StepKind kind;
        Input input;
        std::string page;  // expected active window title (Input), expected text (Answer)
        Millis ms = 0;
        std::function<void(HeadlessBackend&)> check;
    };
    HeadlessBackend& add(Step step);
    void error(const std::string& what);

    std::deque<Step> steps_;
    Millis now_ = 0;
    int exhaustedInputs_ = 0;
    std::vector<const Window*> open_;       // open windows, oldest first
    std::map<std::string, Window> closed_;  // last state of closed windows, by title
    std::vector<std::string> events_;
    std::vector<ShownMessageBox> boxes_;
    std::map<std::pair<std::string, int>, std::vector<std::string>> texts_;
    std::map<std::pair<std::string, int>, std::vector<int>> pictures_;
    std::vector<std::string> drawn_;
    std::vector<std::string> errors_;
};

}  // namespace ui::headless
