// Lending the terminal to the flasher, which gets it as its console window, and taking it back.
#include "ui/terminal/TerminalBackend.h"

// Before curses.h: its macros (OK, ...) would clash with the framework's names.
#include "ui/Dialog.h"

#include "ui/terminal/Screen.h"
#include "ui/terminal/Signals.h"

#include <term.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ui::terminal {

void TerminalBackend::lend(const std::string& title, int fillAttribute) {
    if (handedOver_) return;
    handedOver_ = true;
    menu_.open = false;
    // Ctrl+C and Ctrl+\ now belong to the flasher, which has the terminal (it starts with the
    // default actions back); the wizard must neither end nor leave it writing on its own.
    lendInterruptKeys();
    def_prog_mode();
    endwin();
    std::string s;
    const char* term = std::getenv("TERM");
    const bool xtermTitles =
        term && (std::strncmp(term, "xterm", 5) == 0 || std::strncmp(term, "screen", 6) == 0 ||
                 std::strncmp(term, "tmux", 4) == 0 || std::strncmp(term, "rxvt", 4) == 0);
    if (xtermTitles) s += "\033[22;0t\033]2;" + title + "\007";  // keep the old title, set ours
    std::string colours;
    if (colour_) {
        // Console attribute: foreground in the low bits, background in the next four (BGR +
        // bright).
        static const int kConsoleToAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        std::string setaf = capability("setaf"), setab = capability("setab");
        if (!setaf.empty() && !setab.empty()) {
            colours = tiparm(setaf.c_str(), kConsoleToAnsi[fillAttribute & 7]);
            colours += tiparm(setab.c_str(), kConsoleToAnsi[(fillAttribute >> 4) & 7]);
        }
    }
    s += colours;
    s += capability("clear");
    // The console's title bar: a reverse line with the title, for terminals that show no title.
    int pad = std::max(0, (COLS - int(title.size())) / 2);
    std::string bar = std::string(std::size_t(pad), ' ') + title;
    bar.resize(std::size_t(std::max(COLS, int(title.size()))), ' ');
    std::string reverse = capability("rev"), plain = capability("sgr0");
    if (!reverse.empty() && !plain.empty()) {
        s += reverse + bar + plain + colours + "\r\n";
    } else {
        s += bar + "\r\n";
    }
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}

void TerminalBackend::takeBack() {
    if (!handedOver_) return;
    handedOver_ = false;
    const char* term = std::getenv("TERM");
    std::string s = capability("sgr0");
    if (term && (std::strncmp(term, "xterm", 5) == 0 || std::strncmp(term, "screen", 6) == 0 ||
                 std::strncmp(term, "tmux", 4) == 0 || std::strncmp(term, "rxvt", 4) == 0)) {
        s += "\033[23;0t";  // the title from before
    }
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
    reset_prog_mode();
    dropTypedKeys();  // keys meant for the flasher (Escape!) must not reach the page that comes
                      // back
    clearok(curscr, TRUE);
    reclaimInterruptKeys();
    render();
}

}  // namespace ui::terminal
