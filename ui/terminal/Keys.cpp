// Keys: focus, the operator's keys on pages and message boxes, the window menu and the open
// drop-down list.
#include "ui/terminal/TerminalBackend.h"

// Before curses.h: its macros (OK, ...) would clash with the framework's names.
#include "ui/Dialog.h"

#include "ui/terminal/Layout.h"
#include "ui/terminal/Screen.h"
#include "ui/terminal/Signals.h"
#include "ui/terminal/Text.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace ui::terminal {

namespace {

// [begin, end) of the radio group around control `index`.
std::pair<int, int> radioGroup(const std::vector<Control>& controls, int index) {
    int begin = index;
    while (begin > 0 && !(controls[std::size_t(begin)].tmpl->style & res::kGroupStart) &&
           controls[std::size_t(begin - 1)].tmpl->kind == res::ControlKind::RadioButton) {
        --begin;
    }
    int end = index + 1;
    while (end < int(controls.size()) &&
           controls[std::size_t(end)].tmpl->kind == res::ControlKind::RadioButton &&
           !(controls[std::size_t(end)].tmpl->style & res::kGroupStart)) {
        ++end;
    }
    return {begin, end};
}

}  // namespace

bool TerminalBackend::validFocus(const Window& window, int index) const {
    if (index < 0 || index >= int(window.controls.size())) return false;
    const Control& c = window.controls[std::size_t(index)];
    if (!c.visible || !c.enabled) return false;
    switch (c.tmpl->kind) {
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton:
        case res::ControlKind::DropList:
            return true;
        case res::ControlKind::Edit:
            return (c.tmpl->style & res::kTabStop) != 0;
        case res::ControlKind::RadioButton: {
            // A radio group is one stop: its checked button, or its first when none is checked.
            auto [begin, end] = radioGroup(window.controls, index);
            int checked = -1;
            for (int i = begin; i < end; ++i) {
                if (window.controls[std::size_t(i)].checked) checked = i;
            }
            return checked < 0 ? index == begin : index == checked;
        }
        default:
            return false;
    }
}

void TerminalBackend::fixFocus(const Window& window) {
    View& v = view(window);
    if (validFocus(window, v.focus)) return;
    // Radio buttons keep the focus when the check moves away from them under the arrow keys.
    if (v.focus >= 0 && v.focus < int(window.controls.size())) {
        const Control& c = window.controls[std::size_t(v.focus)];
        if (c.tmpl->kind == res::ControlKind::RadioButton && c.visible && c.enabled) return;
    }
    int n = int(window.controls.size());
    int from = v.focus < 0 ? 0 : v.focus;
    for (int k = 0; k < n; ++k) {
        int i = (from + k) % n;
        if (validFocus(window, i)) {
            v.focus = i;
            return;
        }
    }
    v.focus = -1;
}

void TerminalBackend::moveFocus(const Window& window, int step) {
    fixFocus(window);
    View& v = view(window);
    int n = int(window.controls.size());
    if (n == 0) return;
    int i = v.focus < 0 ? (step > 0 ? -1 : 0) : v.focus;
    for (int k = 0; k < n; ++k) {
        i = ((i + step) % n + n) % n;
        if (validFocus(window, i)) {
            v.focus = i;
            return;
        }
    }
}

// ---- Keys --------------------------------------------------------------------------------------

namespace {

// Added to a key that came with Alt (Escape and the key at once).
constexpr int kAlt = 1 << 24;
// A terminal does not tell a held key's repeats from presses: keys of one kind closer together
// than this are one run (keyboards repeat 25 to 40 times a second)...
constexpr Millis kRepeatGapMs = 100;
// ...and a held key's first repeat comes after the keyboard's longer delay (250 to 660 ms).
constexpr Millis kRepeatDelayMs = 1000;

}  // namespace

int TerminalBackend::readKey() {
    if (pendingKey_ != ERR) {
        const int key = pendingKey_;
        pendingKey_ = ERR;
        return key;
    }
    const int key = getch();
    if (key == altDown_)
        return KEY_DOWN | kAlt;  // Alt+Down as one key code (xterm's modifier sequences)
    if (key != 27) return key;
    // Escape alone, or Alt+key, which terminals send as Escape and the key at once.
    timeout(30);
    const int next = getch();
    nodelay(stdscr, TRUE);
    if (next == 27 || next == KEY_RESIZE)
        ungetch(next);  // two Escapes, or Escape and then an Alt+key: each in its turn
    return next == ERR || next == 27 || next == KEY_RESIZE ? 27 : next | kAlt;
}

bool TerminalBackend::heldOver(int key) {
    const Millis t = now();
    const Millis gap = t - run_.last;
    const bool again = key == run_.key;
    if (again && run_.shownAt != turn() && gap < kRepeatDelayMs) {
        // The run began before this window became the active one. A first press there followed
        // by one here is a repeat only when the next follows at a repeat's pace; else it acts.
        if ((run_.length > 1 && gap < kRepeatGapMs) || repeatFollows(key)) {
            ++run_.length;
            run_.last = t;
            return true;
        }
    } else if (again && gap < kRepeatGapMs) {
        ++run_.length;  // begun on this window: each repeat acts (an arrow held in a list)
        run_.last = t;
        return false;
    }
    run_ = {key, t, turn(), 1};
    return false;
}

bool TerminalBackend::repeatFollows(int key) {
    const Millis until = now() + kRepeatGapMs;
    for (;;) {
        pendingKey_ = readKey();
        if (pendingKey_ != ERR) return pendingKey_ == key;
        const Millis left = until - now();
        if (left <= 0) return false;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, int(left)) > 0 && (p.revents & ~POLLIN))
            return false;  // the wait sees a hang-up
    }
}

void TerminalBackend::dropTypedKeys() {
    pendingKey_ = ERR;
    for (int key; (key = readKey()) != ERR;) {
        if (key == KEY_RESIZE) {
            resized();
            continue;
        }
        // The run goes on being dropped on the next window while the key is held.
        run_ = {key, now(), -1, key == run_.key ? run_.length + 1 : 1};
    }
}

void TerminalBackend::shownAnew() {
    ++shown_;
    // Keys typed while the wizard could not take them (connecting, flashing) were meant for a
    // window that is gone, never for this one; those typed once it is drawn are for it.
    if (!handedOver_) dropTypedKeys();
}

void TerminalBackend::resized() {
    rebuildRestoreSequence();
    clearok(curscr, TRUE);
    render();
}

bool TerminalBackend::waitInput(Millis deadline, Input& input) {
    render();
    bool readable = false;
    for (;;) {
        const int key = readKey();
        if (key == ERR) {
            // The terminal is gone: nobody is left to answer the wizard, and waiting on would spin.
            termios modes{};
            if (readable && tcgetattr(STDIN_FILENO, &modes) != 0 && errno == EIO) endForHangUp();
            Millis t = now();
            if (deadline != kForever && t >= deadline) return false;
            int timeout = deadline == kForever ? 60000 : int(std::min<Millis>(deadline - t, 60000));
            pollfd p{STDIN_FILENO, POLLIN, 0};
            const int ready = poll(&p, 1, timeout);
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) endForHangUp();
            readable = ready > 0;
            continue;  // input, a time-out, or a signal (a resize comes as KEY_RESIZE next)
        }
        readable = false;
        if (key == KEY_RESIZE) {
            resized();
            input = {InputKind::Repaint};
            return true;
        }
        if (heldOver(key)) continue;
        if (translate(key & ~kAlt, (key & kAlt) != 0, input)) return true;
        render();
    }
}

void TerminalBackend::openMenu(const Window& window) {
    if (window.kind != WindowKind::Dialog || !window.tmpl ||
        !(window.tmpl->style & res::kDlgCaption))
        return;
    menu_.items.clear();
    if (window.iconic) {
        menu_.items.push_back({kScRestore, "&Restore"});
    } else {
        menu_.items.push_back({kScMinimize, "Mi&nimize"});
    }
    menu_.items.push_back({kScClose, "&Close"});
    for (const MenuItem& item : window.windowMenu) menu_.items.push_back(item);
    menu_.selected = 0;
    menu_.open = true;
}

bool TerminalBackend::menuKey(int key, Input& input) {
    int n = int(menu_.items.size());
    auto step = [&](int d) {
        for (int k = 0; k < n; ++k) {
            menu_.selected = ((menu_.selected + d) % n + n) % n;
            if (menu_.items[std::size_t(menu_.selected)].command != 0) return;
        }
    };
    auto choose = [&](int index) {
        menu_.open = false;
        input = {InputKind::WindowMenu, 0, 0, menu_.items[std::size_t(index)].command};
        return true;
    };
    switch (key) {
        case KEY_UP:
            step(-1);
            return false;
        case KEY_DOWN:
            step(1);
            return false;
        case '\r':
        case '\n':
        case KEY_ENTER:
            return choose(menu_.selected);
        case 27:
        case ' ':
            menu_.open = false;
            return false;
        default:
            break;
    }
    if (key > 0 && key < 256 && std::isalnum(key)) {
        for (int i = 0; i < n; ++i) {
            if (menu_.items[std::size_t(i)].command != 0 &&
                mnemonicOf(menu_.items[std::size_t(i)].text) == char(std::tolower(key))) {
                return choose(i);
            }
        }
    }
    return false;
}

bool TerminalBackend::translate(int key, bool alt, Input& input) {
    const Window* w = active();
    if (!w || !w->visible) return false;  // a hidden page is busy (connecting, flashing): drop keys
    if (menu_.open) return menuKey(key, input);
    if (view(*w).dropped) return dropListKey(*w, key, input);
    if (alt && key == ' ') {
        openMenu(*w);
        return false;
    }
    const bool enter = key == '\r' || key == '\n' || key == KEY_ENTER;
    if (w->kind == WindowKind::MessageBox) {
        if (enter || key == ' ' || std::tolower(key) == 'o') {
            input = {InputKind::Press, kIdOk};
            return true;
        }
        if (key == 27 && !alt) {
            input = {InputKind::Escape};
            return true;
        }
        return false;
    }
    if (w->iconic) {
        if (enter) openMenu(*w);
        return false;
    }

    fixFocus(*w);
    View& v = view(*w);
    const Control* focused = v.focus >= 0 ? &w->controls[std::size_t(v.focus)] : nullptr;
    const res::ControlKind focusKind = focused ? focused->tmpl->kind : res::ControlKind::Label;

    switch (key) {
        case '\t':
            moveFocus(*w, 1);
            return false;
        case KEY_BTAB:
            moveFocus(*w, -1);
            return false;
        case 27:
            if (alt) break;
            input = {InputKind::Escape};
            return true;
        case ' ':
            if (focused && (isButton(*focused) || focusKind == res::ControlKind::RadioButton)) {
                input = {InputKind::Press, focused->id};
                return true;
            }
            if (focusKind == res::ControlKind::DropList && !focused->items.empty()) {
                v.dropped = true;
                v.hot = std::max(0, focused->selection);
            }
            return false;
        case KEY_UP:
        case KEY_DOWN:
        case KEY_LEFT:
        case KEY_RIGHT:
        case KEY_HOME:
        case KEY_END: {
            const int d = key == KEY_UP || key == KEY_LEFT || key == KEY_HOME ? -1 : 1;
            if (alt && key == KEY_DOWN && focusKind == res::ControlKind::DropList &&
                !focused->items.empty()) {
                v.dropped = true;
                v.hot = std::max(0, focused->selection);
                return false;
            }
            if (focusKind == res::ControlKind::DropList && !focused->items.empty()) {
                int last = int(focused->items.size()) - 1;
                int to = key == KEY_HOME  ? 0
                         : key == KEY_END ? last
                                          : std::clamp(focused->selection + d, 0, last);
                if (to == focused->selection) return false;
                input = {InputKind::Select, focused->id, to};
                return true;
            }
            if (focusKind == res::ControlKind::RadioButton) {
                auto [begin, end] = radioGroup(w->controls, v.focus);
                int i = v.focus;
                for (int k = begin; k < end; ++k) {
                    i = begin + ((i - begin + d) % (end - begin) + (end - begin)) % (end - begin);
                    const Control& c = w->controls[std::size_t(i)];
                    if (c.visible && c.enabled) break;
                }
                v.focus = i;
                input = {InputKind::Press, w->controls[std::size_t(i)].id};
                return true;
            }
            moveFocus(*w, d);
            return false;
        }
        case KEY_F(4):
            if (focusKind == res::ControlKind::DropList && !focused->items.empty()) {
                v.dropped = true;
                v.hot = std::max(0, focused->selection);
            }
            return false;
        case KEY_PPAGE:
        case KEY_NPAGE:
            // Long texts scroll by page, whichever control has the focus.
            for (std::size_t i = 0; i < w->controls.size(); ++i) {
                const Control& c = w->controls[i];
                if (c.visible && c.tmpl->kind == res::ControlKind::Edit &&
                    (c.tmpl->style & res::kMultiLine)) {
                    int& top = v.scroll[int(i)];
                    top = std::max(0, top + (key == KEY_NPAGE ? 5 : -5));  // render clamps the end
                    break;
                }
            }
            return false;
        default:
            break;
    }
    if (enter) {
        // The focused push button, else the default one.
        if (focused && focusKind == res::ControlKind::PushButton) {
            input = {InputKind::Press, focused->id};
        } else {
            input = {InputKind::Enter};
        }
        return true;
    }
    if (key <= 0 || key >= 128 || !std::isalnum(key)) return false;
    const char letter = char(std::tolower(key));
    if (!alt && focusKind == res::ControlKind::DropList) {
        // A list takes plain letters: the next entry that begins with one.
        const int n = int(focused->items.size());
        for (int k = 1; k <= n; ++k) {
            const int i = (std::max(focused->selection, -1) + k + n) % n;
            const std::string& item = focused->items[std::size_t(i)];
            if (!item.empty() && std::tolower(static_cast<unsigned char>(item[0])) == letter) {
                if (i == focused->selection) return false;
                input = {InputKind::Select, focused->id, i};
                return true;
            }
        }
        return false;
    }
    // A text field one can type into takes plain letters; a read-only one (all of the wizard's)
    // lets them through to the mnemonics, so that a page starting on one is never stuck.
    if (!alt && focusKind == res::ControlKind::Edit && !(focused->tmpl->style & res::kReadOnly))
        return false;
    for (std::size_t i = 0; i < w->controls.size(); ++i) {
        const Control& c = w->controls[i];
        const res::ControlKind kind = c.tmpl->kind;
        if (!c.visible || !c.enabled || mnemonicOf(c.text) != letter) continue;
        if (isButton(c) || kind == res::ControlKind::RadioButton) {
            v.focus = int(i);
            input = {InputKind::Press, c.id};
            return true;
        }
        if (kind == res::ControlKind::Label || kind == res::ControlKind::GroupBox) {
            // A label's mnemonic brings the focus to the control after it.
            for (std::size_t j = i + 1; j < w->controls.size(); ++j) {
                if (validFocus(*w, int(j))) {
                    v.focus = int(j);
                    break;
                }
            }
            return false;
        }
    }
    return false;
}

bool TerminalBackend::dropListKey(const Window& w, int key, Input& input) {
    View& v = view(w);
    const Control& list = w.controls[std::size_t(v.focus)];
    const int last = int(list.items.size()) - 1;
    switch (key) {
        case KEY_UP:
            v.hot = std::max(0, v.hot - 1);
            return false;
        case KEY_DOWN:
            v.hot = std::min(last, v.hot + 1);
            return false;
        case KEY_HOME:
        case KEY_PPAGE:
            v.hot = 0;
            return false;
        case KEY_END:
        case KEY_NPAGE:
            v.hot = last;
            return false;
        case 27:
        case KEY_F(4):
            v.dropped = false;
            return false;  // closed, the selection as it was
        case '\r':
        case '\n':
        case KEY_ENTER:
        case '\t':
        case ' ':
            v.dropped = false;
            if (v.hot == list.selection) return false;
            input = {InputKind::Select, list.id, v.hot};
            return true;
        default:
            break;
    }
    if (key > 0 && key < 128 && std::isalnum(key)) {
        for (int k = 1; k <= last + 1; ++k) {
            const int i = (v.hot + k) % (last + 1);
            const std::string& item = list.items[std::size_t(i)];
            if (!item.empty() &&
                std::tolower(static_cast<unsigned char>(item[0])) == std::tolower(key)) {
                v.hot = i;
                break;
            }
        }
    }
    return false;
}

}  // namespace ui::terminal
