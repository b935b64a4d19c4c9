// The dialog framework's portable core: window model, modal loops, message dispatch, timers.
#include "ui/Dialog.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <deque>
#include <map>
#include <thread>

namespace ui {

// ---- Window model ------------------------------------------------------------------------------

const Control* Window::control(int id) const {
    for (const Control& c : controls) {
        if (c.id == id && id != res::kStaticId) return &c;
    }
    return nullptr;
}

int Window::defaultButton() const {
    for (const Control& c : controls) {
        if (c.tmpl && c.tmpl->kind == res::ControlKind::DefPushButton) return c.id;
    }
    return 0;
}

void Backend::clientSize(const Window& window, int& width, int& height) {
    // Dialog units to pixels with the classic base units of 6 x 13 pixels per 4 x 8 units.
    width = window.tmpl ? window.tmpl->cx * 6 / 4 : 0;
    height = window.tmpl ? window.tmpl->cy * 13 / 8 : 0;
}

void Backend::drawIcon(const Window&, int, int, const res::Picture&) {}

void Backend::busyPause(Millis ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ConsoleLender& Backend::console() {
    static ConsoleLender none;  // stateless: shared by every back end that lends nothing
    return none;
}

// ---- Pictures ----------------------------------------------------------------------------------

namespace {
std::atomic<long> gLivePictures{0};
}  // namespace

PictureHandle loadPicture(int id) {
    const res::Picture* picture = res::FindPicture(id);
    if (!picture) return {};
    gLivePictures.fetch_add(1);
    return PictureHandle(picture, [](const res::Picture*) { gLivePictures.fetch_sub(1); });
}

long livePictureCount() {
    return gLivePictures.load();
}

std::string programNameFromPath(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name);
}

// ---- Runtime: the window stack and the modal loops of one session ------------------------------

namespace detail {

struct Timer {
    unsigned id;
    unsigned period;
    Millis due;
};

struct WindowState {
    Window window;
    Dialog* dialog = nullptr;  // nullptr for message boxes
    std::uint64_t serial = 0;  // tells a window apart from a later one at the same address
    bool ended = false;
    int result = 0;
    bool needsPaint = false;
    std::vector<Timer> timers;
    std::map<int, PictureHandle> pictures;  // what each picture control holds
};

class Runtime {
  public:
    explicit Runtime(Backend& backend) : backend_(backend) {}

    Backend& backend() { return backend_; }

    void open(WindowState& state) {
        state.serial = ++serials_;
        stack_.push_back(&state);
        backend_.windowOpened(state.window);
    }

    void close(WindowState& state) {
        stack_.erase(std::remove(stack_.begin(), stack_.end(), &state), stack_.end());
        std::erase_if(queue_, [&](const Posted& p) { return p.target == &state; });
        backend_.windowClosed(state.window, state.result);
    }

    void post(WindowState& target, const Message& message) {
        queue_.push_back({&target, target.serial, message});
    }

    void invalidateAll() {
        for (WindowState* w : stack_) {
            if (w->window.visible) w->needsPaint = true;
        }
    }

    // Runs until `state` has ended: posted messages first, then paints, then due timers, then the
    // operator's input (or the clock) from the back end.
    void run(WindowState& state) {
        while (!state.ended) {
            if (!queue_.empty()) {
                Posted p = queue_.front();
                queue_.pop_front();
                if (live(p.target, p.serial) && p.target->dialog)
                    p.target->dialog->dispatch(p.message);
                continue;
            }
            if (WindowState* w = pendingPaint()) {
                w->needsPaint = false;
                w->dialog->dispatch({msg::Paint});
                continue;
            }
            Millis now = backend_.now();
            WindowState* owner = nullptr;
            Timer* timer = nextTimer(owner);
            if (timer && timer->due <= now) {
                Millis next = timer->due + timer->period;
                timer->due = next > now ? next : now + timer->period;
                owner->dialog->dispatch({msg::Timer, timer->id});
                continue;
            }
            Input input{};
            if (backend_.waitInput(timer ? timer->due : kForever, input)) handle(input);
        }
    }

  private:
    struct Posted {
        WindowState* target;
        std::uint64_t serial;
        Message message;
    };

    bool live(const WindowState* w, std::uint64_t serial) const {
        return std::find(stack_.begin(), stack_.end(), w) != stack_.end() && w->serial == serial &&
               !w->ended;
    }

    WindowState* pendingPaint() {
        for (WindowState* w : stack_) {
            if (w->needsPaint && w->dialog && !w->ended && w->window.visible) return w;
        }
        return nullptr;
    }

    Timer* nextTimer(WindowState*& owner) {
        Timer* best = nullptr;
        for (WindowState* w : stack_) {
            if (!w->dialog || w->ended) continue;
            for (Timer& t : w->timers) {
                if (!best || t.due < best->due) {
                    best = &t;
                    owner = w;
                }
            }
        }
        return best;
    }

    void handle(const Input& input);

    Backend& backend_;
    std::vector<WindowState*> stack_;
    std::deque<Posted> queue_;
    std::uint64_t serials_ = 0;
};

namespace {

// [begin, end) of the radio group that control `index` belongs to.
std::pair<std::size_t, std::size_t> radioGroup(const std::vector<Control>& controls,
                                               std::size_t index) {
    std::size_t begin = index;
    while (begin > 0 && !(controls[begin].tmpl->style & res::kGroupStart) &&
           controls[begin - 1].tmpl->kind == res::ControlKind::RadioButton) {
        --begin;
    }
    std::size_t end = index + 1;
    while (end < controls.size() && controls[end].tmpl->kind == res::ControlKind::RadioButton &&
           !(controls[end].tmpl->style & res::kGroupStart)) {
        ++end;
    }
    return {begin, end};
}

bool clickable(res::ControlKind kind) {
    return kind == res::ControlKind::PushButton || kind == res::ControlKind::DefPushButton ||
           kind == res::ControlKind::RadioButton;
}

}  // namespace

void Runtime::handle(const Input& input) {
    if (stack_.empty()) return;
    WindowState& top = *stack_.back();
    Window& w = top.window;
    auto ignore = [&](const char* why) { backend_.inputIgnored(w, input, why); };
    if (input.kind == InputKind::Repaint) {
        invalidateAll();
        return;
    }
    if (top.ended) return ignore("window is ending");
    if (!w.visible) return ignore("window is hidden");

    if (w.kind == WindowKind::MessageBox) {
        bool answers = (input.kind == InputKind::Press && input.control == kIdOk) ||
                       input.kind == InputKind::Enter || input.kind == InputKind::Escape;
        if (!answers) return ignore("a message box only takes OK, Enter or Escape");
        top.result = kIdOk;
        top.ended = true;
        return;
    }

    Dialog& dialog = *top.dialog;
    auto press = [&](int id) {
        auto it = std::find_if(w.controls.begin(), w.controls.end(),
                               [&](const Control& c) { return c.id == id; });
        if (id == res::kStaticId || it == w.controls.end()) return ignore("no such control");
        if (!clickable(it->tmpl->kind)) return ignore("not a button");
        if (!it->visible) return ignore("control is hidden");
        if (!it->enabled) return ignore("control is disabled");
        if (it->tmpl->kind == res::ControlKind::RadioButton) {
            auto [begin, end] = radioGroup(w.controls, std::size_t(it - w.controls.begin()));
            for (std::size_t i = begin; i < end; ++i) {
                bool check = w.controls[i].id == id;
                if (w.controls[i].checked != check) {
                    w.controls[i].checked = check;
                    backend_.windowChanged(w, Change::Checked, w.controls[i].id);
                }
            }
        }
        dialog.dispatch({msg::Command, std::uintptr_t(id)});
    };

    switch (input.kind) {
        case InputKind::Press:
            return press(input.control);
        case InputKind::Select: {
            Control* c = dialog.control(input.control);
            if (!c || c->tmpl->kind != res::ControlKind::DropList)
                return ignore("not a drop-down list");
            if (!c->visible || !c->enabled) return ignore("list is hidden or disabled");
            if (input.index < 0 || std::size_t(input.index) >= c->items.size())
                return ignore("no such entry");
            if (c->selection != input.index) {
                c->selection = input.index;
                backend_.windowChanged(w, Change::Selection, c->id);
            }
            dialog.dispatch(
                {msg::Command, (std::uintptr_t(kSelChange) << 16) | std::uintptr_t(c->id)});
            return;
        }
        case InputKind::Enter: {
            int def = w.defaultButton();
            if (def == 0) {
                dialog.dispatch({msg::Command, std::uintptr_t(kIdOk)});
                return;
            }
            return press(def);
        }
        case InputKind::Escape:
            dialog.dispatch({msg::Command, std::uintptr_t(kIdCancel)});
            return;
        case InputKind::WindowMenu: {
            if (!dialog.hasWindowMenu()) return ignore("no window menu");
            bool known = input.command == kScClose || input.command == kScMinimize ||
                         input.command == kScRestore;
            for (const MenuItem& item : w.windowMenu)
                known = known || (item.command != 0 && item.command == input.command);
            if (!known) return ignore("no such window-menu item");
            dialog.dispatch({msg::SysCommand, input.command});
            return;
        }
        case InputKind::Repaint:
            return;
    }
}

}  // namespace detail

// ---- Session -----------------------------------------------------------------------------------

namespace {
thread_local Session* gCurrent = nullptr;
}  // namespace

Session::Session(Backend& backend, std::string programName)
    : programName_(std::move(programName)),
      runtime_(std::make_unique<detail::Runtime>(backend)),
      previous_(gCurrent) {
    gCurrent = this;
}

Session::~Session() {
    gCurrent = previous_;
}

Session* Session::current() {
    return gCurrent;
}

// ---- Message boxes -----------------------------------------------------------------------------

namespace {
constexpr res::ControlTemplate kMessageBoxOk = {
    kIdOk, res::ControlKind::DefPushButton, "OK", 0, 0, 50, 14, res::kTabStop, 0};
}  // namespace

void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    Session* session = Session::current();
    if (!session) {
        // No front end on this thread: the message must still reach someone.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    detail::Runtime& rt = *session->runtime_;
    detail::WindowState state;
    state.window.kind = WindowKind::MessageBox;
    state.window.title = caption;
    state.window.text = text;
    state.window.icon = icon;
    state.window.visible = true;
    Control ok;
    ok.tmpl = &kMessageBoxOk;
    ok.id = kIdOk;
    ok.text = kMessageBoxOk.text;
    state.window.controls.push_back(std::move(ok));
    rt.open(state);
    rt.run(state);
    rt.close(state);
}

void busyPause(std::uint32_t ms) {
    Session* session = Session::current();
    if (session) {
        session->runtime_->backend().busyPause(Millis(ms));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void messageBox(const std::string& text) {
    Session* session = Session::current();
    messageBox(text, session ? session->programName() : std::string(), MessageIcon::Exclamation);
}

// ---- Data exchange -----------------------------------------------------------------------------

void ddxText(DataExchange& dx, int controlId, std::string& value) {
    if (dx.saving) {
        value = dx.dialog.itemText(controlId);
    } else {
        dx.dialog.setItemText(controlId, value);
    }
}

void ddxRadio(DataExchange& dx, int firstId, int& value) {
    detail::WindowState* st = dx.dialog.state_;
    if (!st) return;
    std::vector<Control>& controls = st->window.controls;
    auto first = std::find_if(controls.begin(), controls.end(),
                              [&](const Control& c) { return c.id == firstId; });
    if (first == controls.end() || first->tmpl->kind != res::ControlKind::RadioButton) return;
    auto [begin, end] = detail::radioGroup(controls, std::size_t(first - controls.begin()));
    if (dx.saving) {
        value = -1;
        for (std::size_t i = begin; i < end; ++i) {
            if (controls[i].checked) value = int(i - begin);
        }
        return;
    }
    for (std::size_t i = begin; i < end; ++i) {
        bool check = value >= 0 && i - begin == std::size_t(value);
        if (controls[i].checked != check) {
            controls[i].checked = check;
            dx.dialog.changed(Change::Checked, controls[i].id);
        }
    }
}

// ---- Dialog ------------------------------------------------------------------------------------

Dialog::Dialog(int templateId) : templateId_(templateId) {}

Dialog::~Dialog() = default;

Result Dialog::doModal() {
    Session* session = Session::current();
    const res::DialogTemplate* tmpl = res::FindDialog(templateId_);
    if (!session || !tmpl || state_) return Result::Cancel;
    detail::Runtime& rt = *session->runtime_;

    detail::WindowState state;
    state.dialog = this;
    state.window.tmpl = tmpl;
    state.window.title = tmpl->title;
    for (std::size_t i = 0; i < tmpl->controlCount; ++i) {
        const res::ControlTemplate& ct = tmpl->controls[i];
        Control c;
        c.tmpl = &ct;
        c.id = ct.id;
        c.text = ct.text;
        c.visible = !(ct.style & res::kHidden);
        c.enabled = !(ct.style & res::kDisabled);
        if (ct.picture != 0) {
            PictureHandle picture = loadPicture(ct.picture);
            c.picture = picture.get();
            state.pictures[int(i)] = std::move(picture);
        }
        state.window.controls.push_back(std::move(c));
    }
    state_ = &state;
    rt.open(state);
    dispatch({msg::InitDialog});
    if (!state.ended) showWindow(true);
    rt.run(state);
    rt.close(state);
    state_ = nullptr;
    return state.result == kIdOk ? Result::OK : Result::Cancel;
}

void Dialog::endDialog(Result result) {
    if (!state_) return;
    state_->result = int(result);
    state_->ended = true;
}

std::intptr_t Dialog::sendMessage(unsigned id, std::uintptr_t wParam, std::intptr_t lParam) {
    return dispatch({id, wParam, lParam});
}

void Dialog::postMessage(unsigned id, std::uintptr_t wParam, std::intptr_t lParam) {
    Session* session = Session::current();
    if (!state_ || !session) return;
    session->runtime_->post(*state_, {id, wParam, lParam});
}

std::intptr_t Dialog::dispatch(const Message& m) {
    for (const Handler& h : handlers()) {
        if (h.kind == Handler::Kind::Command && m.id == msg::Command && m.wParam == h.code)
            return h.call(*this, m);
        if (h.kind == Handler::Kind::Message && m.id == h.code) return h.call(*this, m);
    }
    return defaultHandling(m);
}

std::intptr_t Dialog::defaultHandling(const Message& m) {
    switch (m.id) {
        case msg::InitDialog:
            return onInitDialog() ? 1 : 0;
        case msg::Command:
            if (m.wParam == std::uintptr_t(kIdOk)) onOK();
            if (m.wParam == std::uintptr_t(kIdCancel)) onCancel();
            return 0;
        case msg::SysCommand:
            switch (unsigned(m.wParam) & 0xFFF0u) {
                case kScClose:
                    return dispatch({msg::Command, std::uintptr_t(kIdCancel)});
                case kScMinimize:
                case kScRestore:
                    if (state_ &&
                        state_->window.iconic != ((unsigned(m.wParam) & 0xFFF0u) == kScMinimize)) {
                        state_->window.iconic = !state_->window.iconic;
                        state_->needsPaint = state_->window.visible;
                        changed(Change::Iconic, 0);
                    }
                    return 0;
                default:
                    return 0;
            }
        default:
            return 0;
    }
}

const HandlerTable& Dialog::handlers() const {
    static const HandlerTable none;
    return none;
}

bool Dialog::onInitDialog() {
    updateData(false);
    return true;
}

void Dialog::doDataExchange(DataExchange&) {}

void Dialog::onOK() {
    if (!updateData(true)) return;
    endDialog(Result::OK);
}

void Dialog::onCancel() {
    endDialog(Result::Cancel);
}

bool Dialog::updateData(bool save) {
    DataExchange dx{*this, save};
    doDataExchange(dx);
    return true;
}

void Dialog::changed(Change change, int controlId) {
    Session* session = Session::current();
    if (state_ && session)
        session->runtime_->backend().windowChanged(state_->window, change, controlId);
}

Control* Dialog::control(int id) {
    if (!state_ || id == res::kStaticId) return nullptr;
    for (Control& c : state_->window.controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

const Control* Dialog::control(int id) const {
    return state_ ? state_->window.control(id) : nullptr;
}

void Dialog::showWindow(bool show) {
    if (!state_ || state_->window.visible == show) return;
    state_->window.visible = show;
    if (show) state_->needsPaint = true;
    changed(Change::Visibility, 0);
}

bool Dialog::isWindowVisible() const {
    return state_ && state_->window.visible;
}

bool Dialog::isIconic() const {
    return state_ && state_->window.iconic;
}

void Dialog::setIcon(int iconId, bool large) {
    if (!state_) return;
    (large ? state_->window.largeIcon : state_->window.smallIcon) = iconId;
    changed(Change::Icon, 0);
}

bool Dialog::hasWindowMenu() const {
    return state_ && state_->window.tmpl && (state_->window.tmpl->style & res::kDlgCaption);
}

void Dialog::appendWindowMenu(unsigned command, const std::string& text) {
    if (!hasWindowMenu()) return;
    state_->window.windowMenu.push_back({command, command == 0 ? std::string() : text});
    changed(Change::WindowMenu, 0);
}

void Dialog::clientSize(int& width, int& height) const {
    width = height = 0;
    Session* session = Session::current();
    if (state_ && session) session->runtime_->backend().clientSize(state_->window, width, height);
}

void Dialog::setItemText(int id, const std::string& text) {
    Control* c = control(id);
    if (!c || c->text == text) return;
    c->text = text;
    changed(Change::Text, id);
}

std::string Dialog::itemText(int id) const {
    const Control* c = control(id);
    return c ? c->text : std::string();
}

void Dialog::enableItem(int id, bool enable) {
    Control* c = control(id);
    if (!c || c->enabled == enable) return;
    c->enabled = enable;
    changed(Change::Enabled, id);
}

bool Dialog::isItemEnabled(int id) const {
    const Control* c = control(id);
    return c && c->enabled;
}

void Dialog::showItem(int id, bool show) {
    Control* c = control(id);
    if (!c || c->visible == show) return;
    c->visible = show;
    changed(Change::ControlVisibility, id);
}

namespace {
// The order of a sorted list: case-insensitive, as the platform's lists sort.
bool sortsBefore(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}
}  // namespace

int Dialog::listAddString(int id, const std::string& text) {
    Control* c = control(id);
    if (!c || c->tmpl->kind != res::ControlKind::DropList) return -1;
    auto at = c->items.end();
    if (c->tmpl->style & res::kSorted) {
        at = std::upper_bound(c->items.begin(), c->items.end(), text, sortsBefore);
    }
    int index = int(at - c->items.begin());
    c->items.insert(at, text);
    if (c->selection >= index) ++c->selection;
    changed(Change::Items, id);
    return index;
}

void Dialog::listSetCurSel(int id, int index) {
    Control* c = control(id);
    if (!c || c->tmpl->kind != res::ControlKind::DropList) return;
    if (index < 0 || std::size_t(index) >= c->items.size()) index = -1;
    if (c->selection == index) return;
    c->selection = index;
    changed(Change::Selection, id);
}

int Dialog::listGetCurSel(int id) const {
    const Control* c = control(id);
    return c ? c->selection : -1;
}

void Dialog::checkRadioButton(int firstId, int lastId, int checkId) {
    if (!state_) return;
    for (Control& c : state_->window.controls) {
        if (c.tmpl->kind != res::ControlKind::RadioButton || c.id < firstId || c.id > lastId)
            continue;
        bool check = c.id == checkId;
        if (c.checked == check) continue;
        c.checked = check;
        changed(Change::Checked, c.id);
    }
}

void Dialog::setPicture(int id, PictureHandle picture) {
    if (!state_) return;
    std::vector<Control>& controls = state_->window.controls;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].id != id || id == res::kStaticId) continue;
        controls[i].picture = picture.get();
        state_->pictures[int(i)] =
            std::move(picture);  // the control's previous picture is released here
        changed(Change::Picture, id);
        return;
    }
}

void Dialog::setTimer(unsigned timerId, unsigned periodMs) {
    Session* session = Session::current();
    if (!state_ || !session) return;
    if (periodMs == 0) periodMs = 1;
    Millis due = session->runtime_->backend().now() + periodMs;
    for (detail::Timer& t : state_->timers) {
        if (t.id == timerId) {
            t = {timerId, periodMs, due};
            return;
        }
    }
    state_->timers.push_back({timerId, periodMs, due});
}

void Dialog::killTimer(unsigned timerId) {
    if (!state_) return;
    std::erase_if(state_->timers, [&](const detail::Timer& t) { return t.id == timerId; });
}

int Dialog::iconSize() const {
    Session* session = Session::current();
    return session ? session->runtime_->backend().iconSize() : 32;
}

void Dialog::drawIcon(int x, int y, const PictureHandle& icon) {
    Session* session = Session::current();
    if (state_ && session && icon)
        session->runtime_->backend().drawIcon(state_->window, x, y, *icon);
}

}  // namespace ui
