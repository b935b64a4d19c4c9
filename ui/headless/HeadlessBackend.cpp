// The scripted operator and the record of what was shown.
#include "ui/headless/HeadlessBackend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ui::headless {

namespace {
// Escapes pressed after the script ran out before we give up on the wizard ever unwinding.
constexpr int kMaxExhaustedInputs = 1000;

std::string describe(const Input& input) {
    switch (input.kind) {
        case InputKind::Press:
            return "press " + std::to_string(input.control);
        case InputKind::Select:
            return "select " + std::to_string(input.index) + " in " + std::to_string(input.control);
        case InputKind::Enter:
            return "Enter";
        case InputKind::Escape:
            return "Escape";
        case InputKind::WindowMenu:
            return "window menu " + std::to_string(input.command);
        case InputKind::Repaint:
            return "repaint";
    }
    return "?";
}
}  // namespace

HeadlessBackend& HeadlessBackend::add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

HeadlessBackend& HeadlessBackend::press(int controlId, std::string page) {
    return add(Step(StepKind::Input, Input{InputKind::Press, controlId}, std::move(page)));
}
HeadlessBackend& HeadlessBackend::select(int listId, int index, std::string page) {
    return add(Step(StepKind::Input, Input{InputKind::Select, listId, index}, std::move(page)));
}
HeadlessBackend& HeadlessBackend::enter(std::string page) {
    return add(Step(StepKind::Input, Input{InputKind::Enter}, std::move(page)));
}
HeadlessBackend& HeadlessBackend::escape(std::string page) {
    return add(Step(StepKind::Input, Input{InputKind::Escape}, std::move(page)));
}
HeadlessBackend& HeadlessBackend::windowMenu(unsigned command, std::string page) {
    return add(Step(StepKind::Input, Input{InputKind::WindowMenu, 0, 0, command}, std::move(page)));
}
HeadlessBackend& HeadlessBackend::repaint() {
    return add(Step(StepKind::Input, Input{InputKind::Repaint}));
}
HeadlessBackend& HeadlessBackend::answerMessageBox(std::string text) {
    return add(Step(StepKind::Answer, Input{InputKind::Press, 1}, std::move(text)));
}
HeadlessBackend& HeadlessBackend::letTimePass(Millis ms) {
    Step step(StepKind::Time);
    step.ms = ms;
    return add(std::move(step));
}
HeadlessBackend& HeadlessBackend::then(std::function<void(HeadlessBackend&)> check) {
    Step step(StepKind::Check);
    step.check = std::move(check);
    return add(std::move(step));
}

void HeadlessBackend::error(const std::string& what) {
    errors_.push_back(what);
}

bool HeadlessBackend::waitInput(Millis deadline, Input& input) {
    for (;;) {
        const Window* top = active();
        std::string title =
            top ? (top->kind == WindowKind::MessageBox ? "message box \"" + top->text + "\""
                                                       : top->title)
                : std::string("no window");
        if (steps_.empty()) {
            if (exhaustedInputs_++ == 0)
                error("script ran out while " + title + " waits for the operator");
            if (exhaustedInputs_ > kMaxExhaustedInputs) {
                std::fprintf(stderr, "HeadlessBackend: the wizard does not unwind on Escape\n");
                std::abort();
            }
            input = {InputKind::Escape};
            return true;
        }
        Step& step = steps_.front();
        switch (step.kind) {
            case StepKind::Check: {
                auto check = std::move(step.check);
                steps_.pop_front();
                check(*this);
                continue;
            }
            case StepKind::Time:
                if (deadline != kForever && deadline - now_ <= step.ms) {
                    if (deadline > now_) {
                        step.ms -= deadline - now_;
                        now_ = deadline;
                    }
                    return false;
                }
                now_ += step.ms;
                steps_.pop_front();
                continue;
            case StepKind::Answer: {
                Step s = std::move(step);
                steps_.pop_front();
                if (!top || top->kind != WindowKind::MessageBox) {
                    error("expected a message box, but " + title + " is active");
                    continue;
                }
                if (!s.page.empty() && top->text != s.page)
                    error("message box \"" + top->text + "\" is not \"" + s.page + "\"");
                input = s.input;
                return true;
            }
            case StepKind::Input: {
                Step s = std::move(step);
                steps_.pop_front();
                if (!s.page.empty() &&
                    (!top || top->kind != WindowKind::Dialog || top->title != s.page)) {
                    error(describe(s.input) + " meant for " + s.page + ", but " + title +
                          " is active");
                }
                input = s.input;
                return true;
            }
        }
    }
}

void HeadlessBackend::windowOpened(const Window& window) {
    open_.push_back(&window);
    if (window.kind == WindowKind::MessageBox) {
        boxes_.push_back({window.title, window.text, window.icon});
        events_.push_back("box " + window.text);
        return;
    }
    events_.push_back("open " + window.title);
    for (const Control& c : window.controls) {
        if (c.picture) pictures_[{window.title, c.id}].push_back(c.picture->id);
    }
}

void HeadlessBackend::windowChanged(const Window& window, Change change, int controlId) {
    switch (change) {
        case Change::Visibility:
            events_.push_back((window.visible ? "show " : "hide ") + window.title);
            break;
        case Change::Text:
            if (const Control* c = window.control(controlId))
                texts_[{window.title, controlId}].push_back(c->text);
            break;
        case Change::Picture:
            if (const Control* c = window.control(controlId)) {
                pictures_[{window.title, controlId}].push_back(c->picture ? c->picture->id : 0);
            }
            break;
        default:
            break;
    }
}

void HeadlessBackend::windowClosed(const Window& window, int result) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    if (window.kind == WindowKind::MessageBox) return;
    events_.push_back("end " + window.title + (result == 1 ? " OK" : " Cancel"));
    closed_[window.title] = window;
}

void HeadlessBackend::inputIgnored(const Window& window, const Input& input, const char* reason) {
    std::string what = "ignored " + describe(input) + " on " + window.title + ": " + reason;
    events_.push_back(what);
    error(what);
}

void HeadlessBackend::drawIcon(const Window& window, int x, int y, const res::Picture& icon) {
    drawn_.push_back(window.title + " " + std::to_string(icon.id) + " " + std::to_string(x) + " " +
                     std::to_string(y));
}

std::vector<std::string> HeadlessBackend::pageOrder() const {
    std::vector<std::string> order;
    for (const std::string& e : events_) {
        if (e.rfind("open ", 0) == 0 || e.rfind("end ", 0) == 0) order.push_back(e);
    }
    return order;
}

std::vector<std::string> HeadlessBackend::textHistory(const std::string& title, int id) const {
    auto it = texts_.find({title, id});
    return it == texts_.end() ? std::vector<std::string>{} : it->second;
}

std::vector<int> HeadlessBackend::pictureHistory(const std::string& title, int id) const {
    auto it = pictures_.find({title, id});
    return it == pictures_.end() ? std::vector<int>{} : it->second;
}

const Window* HeadlessBackend::window(const std::string& title) const {
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        if ((*it)->kind == WindowKind::Dialog && (*it)->title == title) return *it;
    }
    auto it = closed_.find(title);
    return it == closed_.end() ? nullptr : &it->second;
}

const Window* HeadlessBackend::active() const {
    return open_.empty() ? nullptr : open_.back();
}

bool HeadlessBackend::visible(const std::string& title) const {
    const Window* w = window(title);
    return w && w->visible && std::find(open_.begin(), open_.end(), w) != open_.end();
}

std::string HeadlessBackend::text(const std::string& title, int id) const {
    const Window* w = window(title);
    const Control* c = w ? w->control(id) : nullptr;
    return c ? c->text : std::string();
}

bool HeadlessBackend::enabled(const std::string& title, int id) const {
    const Window* w = window(title);
    const Control* c = w ? w->control(id) : nullptr;
    return c && c->enabled;
}

int HeadlessBackend::selection(const std::string& title, int id) const {
    const Window* w = window(title);
    const Control* c = w ? w->control(id) : nullptr;
    return c ? c->selection : -1;
}

int HeadlessBackend::picture(const std::string& title, int id) const {
    const Window* w = window(title);
    const Control* c = w ? w->control(id) : nullptr;
    return c && c->picture ? c->picture->id : 0;
}

}  // namespace ui::headless
