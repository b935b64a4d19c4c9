// The terminal itself and the window model: opening and closing the terminal, and following the
// framework's windows.
#include "ui/terminal/TerminalBackend.h"

// Before curses.h and term.h: their macros (OK, columns, ...) would clash with these.
#include "ui/Dialog.h"

#include "ui/terminal/Screen.h"
#include "ui/terminal/Signals.h"

#include <langinfo.h>
#include <term.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace ui::terminal {

std::unique_ptr<TerminalBackend> TerminalBackend::open(std::string& error) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        // Say which: `reflasher | tee log` has a terminal for input only.
        const char* which = isatty(STDIN_FILENO)    ? "standard output is"
                            : isatty(STDOUT_FILENO) ? "standard input is"
                                                    : "standard input and output are";
        error = std::string(which) +
                " not a terminal; both must be (run it in a terminal window or over SSH)";
        return nullptr;
    }
    const char* term = std::getenv("TERM");
    if (!term || !*term) {
        error = "TERM is not set; cannot tell what the terminal can do";
        return nullptr;
    }
    int status = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &status) != OK) {
        error = status == 0
                    ? std::string("unknown terminal type \"") + term + "\" (no terminfo entry)"
                    : std::string("no terminfo database for \"") + term + "\"";
        return nullptr;
    }
    const bool addressable = !capability("cup").empty() && tigetflag(const_cast<char*>("hc")) <= 0;
    del_curterm(cur_term);
    if (!addressable) {
        error = std::string("the terminal \"") + term + "\" cannot position the cursor";
        return nullptr;
    }

    std::unique_ptr<TerminalBackend> backend(new TerminalBackend());
    saveTerminalModes();
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (!screen) {
        error = std::string("cannot start the terminal \"") + term + "\"";
        return nullptr;
    }
    backend->screen_ = screen;
    set_term(screen);
    const char* codeset = nl_langinfo(CODESET);
    backend->unicode_ = codeset && std::strcmp(codeset, "UTF-8") == 0;
    cbreak();  // Ctrl+C stays a signal: it must work while the wizard is busy, too
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(60);
    curs_set(0);
    backend->prepareColours();
    // Alt+Down as one key code, where the terminal has one (xterm's modifier sequences).
    const std::string altDown = capability("kDN3");
    if (!altDown.empty()) backend->altDown_ = key_defined(altDown.c_str());
    backend->rebuildRestoreSequence();
    takeTerminal();
    backend->render();
    return backend;
}

TerminalBackend::~TerminalBackend() {
    if (handedOver_) takeBack();
    erase();
    refresh();
    endwin();
    releaseTerminal();
    delscreen(static_cast<SCREEN*>(screen_));
}

void TerminalBackend::rebuildRestoreSequence() {
    // Leave the screen first: some terminals keep the cursor and keypad modes per screen.
    std::string s = capability("rmcup");
    if (s.empty()) {
        std::string cup = capability("cup");
        if (!cup.empty()) s = tiparm(cup.c_str(), std::max(LINES - 1, 0), 0);
        s += "\r\n";
    }
    s += capability("sgr0") + capability("cnorm") + capability("rmkx");
    setRestoreSequence(s);
}

// ---- Window model ------------------------------------------------------------------------------

Millis TerminalBackend::now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const Window* TerminalBackend::active() const {
    return open_.empty() ? nullptr : open_.back();
}

TerminalBackend::View& TerminalBackend::view(const Window& window) {
    return views_[&window];
}

const Window* TerminalBackend::topVisible() const {
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        if ((*it)->visible) return *it;
    }
    return nullptr;
}

void TerminalBackend::windowOpened(const Window& window) {
    open_.push_back(&window);
    views_[&window] = View{};
    menu_.open = false;
    shownAnew();
    render();
}

void TerminalBackend::windowChanged(const Window& window, Change change, int) {
    if (change == Change::Iconic) menu_.open = false;
    if (change == Change::Visibility && window.visible) shownAnew();
    if (change == Change::Visibility || change == Change::Items || change == Change::Enabled)
        view(window).dropped = false;
    render();
}

void TerminalBackend::windowClosed(const Window& window, int) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    views_.erase(&window);
    ++closed_;
    menu_.open = false;
    render();
}

void TerminalBackend::inputIgnored(const Window&, const Input&, const char*) {
    beep();
}

void TerminalBackend::drawIcon(const Window& window, int, int, const res::Picture& icon) {
    view(window).icon = &icon;
    render();
}

}  // namespace ui::terminal
