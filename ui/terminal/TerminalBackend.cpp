// The ncurses back end: layout from dialog units to cells, drawing, keys, and the terminal's
// hand-over to the flasher.
#include "ui/terminal/TerminalBackend.h"

// Before curses.h and term.h: their macros (OK, textLines, columns, ...) would clash with these.
#include "ui/Dialog.h"

#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ui::terminal {

namespace {

// ---- The emergency exit ------------------------------------------------------------------------
// A signal that ends the program (Ctrl+C, SIGTERM, a hang-up) may come while the user-interface
// thread is anywhere: in the connecting sequence, inside ncurses, or waiting for the flasher. The
// handler can therefore only use what is safe there: it writes a prepared byte sequence that
// leaves screen mode, puts back the terminal modes found at start and dies of the same signal.
// Written by the user-interface thread while no such signal is expected, read by the handler.
constexpr std::size_t kRestoreMax = 512;
char gRestore[kRestoreMax];
volatile std::size_t gRestoreLength = 0;
termios gSavedModes{};
volatile sig_atomic_t gTerminalTaken = 0;
constexpr int kExitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};  // SIGINT first
struct sigaction gPreviousActions[std::size(kExitSignals)];
// A crash must not leave the terminal unusable either; whoever handled these before us (the
// sanitizers' reports, the default core dump) still gets them, on a normal screen.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction gPreviousFaultActions[std::size(kFaultSignals)];

void restoreTerminal() {
    if (!gTerminalTaken) return;
    ssize_t ignored = write(STDOUT_FILENO, gRestore, gRestoreLength);
    (void)ignored;
    tcsetattr(STDOUT_FILENO, TCSANOW, &gSavedModes);
    gTerminalTaken = 0;
}

extern "C" void restoreTerminalAndDie(int signalNumber) {
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // delivered when the handler returns: the parent sees how we ended
}

extern "C" void restoreTerminalAndPassOn(int signalNumber) {
    restoreTerminal();
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        if (kFaultSignals[i] == signalNumber) sigaction(signalNumber, &gPreviousFaultActions[i], nullptr);
    }
    // Delivered to the previous action when we return (as is a fault, when its instruction repeats).
    raise(signalNumber);
}

void setSignalAction(int signalNumber, void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    action.sa_flags = SA_ONSTACK;  // a stack overflow leaves only the alternate stack, if there is one
    sigemptyset(&action.sa_mask);
    for (int s : kExitSignals) sigaddset(&action.sa_mask, s);
    sigaction(signalNumber, &action, nullptr);
}

// A terminfo string capability, or "" when the terminal has none.
std::string capability(const char* name) {
    char* value = tigetstr(const_cast<char*>(name));
    if (value == nullptr || value == reinterpret_cast<char*>(-1)) return {};
    return value;
}

// ---- Geometry ----------------------------------------------------------------------------------

struct Box {
    int top = 0, left = 0, height = 0, width = 0;
};

// A dialog's frame on the screen and its scale from dialog units to cells.
struct Layout {
    Box frame;  // with the border
    Box inner;
    double sx = 0, sy = 0;
};

Layout dialogLayout(const Window& w) {
    Layout l;
    const int cx = std::max(1, w.tmpl->cx), cy = std::max(1, w.tmpl->cy);
    // A third of a cell per horizontal unit and a sixth of a row per vertical one keep the shape
    // of a dialog; a dialog that would not fit is squeezed into the screen instead.
    l.sx = std::min(1.0 / 3, double(std::max(COLS - 2, 10)) / cx);
    l.sy = std::min(1.0 / 6, double(std::max(LINES - 2, 5)) / cy);
    l.inner.width = std::max(1, int(std::ceil(cx * l.sx - 1e-9)));
    l.inner.height = std::max(1, int(std::ceil(cy * l.sy - 1e-9)));
    l.frame.width = l.inner.width + 2;
    l.frame.height = l.inner.height + 2;
    l.frame.top = std::max(0, (LINES - l.frame.height) / 2);
    l.frame.left = std::max(0, (COLS - l.frame.width) / 2);
    l.inner.top = l.frame.top + 1;
    l.inner.left = l.frame.left + 1;
    return l;
}

int scaled(double units, double scale) { return int(std::lround(units * scale)); }

bool multiRow(const Control& c) {
    const res::ControlTemplate& t = *c.tmpl;
    return (t.kind == res::ControlKind::Edit && (t.style & res::kMultiLine)) || t.kind == res::ControlKind::GroupBox ||
           t.kind == res::ControlKind::IconPicture || t.kind == res::ControlKind::BitmapPicture;
}

// Where control `c` goes inside the dialog laid out as `l`. Single-line controls take the row of
// their vertical middle, so that a label and the field beside it share a row.
Box controlBox(const Layout& l, const Control& c) {
    const res::ControlTemplate& t = *c.tmpl;
    double cx = t.cx, cy = t.cy;
    if ((t.kind == res::ControlKind::IconPicture || t.kind == res::ControlKind::BitmapPicture) && c.picture &&
        c.picture->imageCount > 0) {
        // A picture control takes the size of its image (pixels to units: 6 x 13 pixels per 4 x 8).
        const res::Image& image = c.picture->images[0];
        cx = image.width * 4.0 / 6.0;
        cy = image.height * 8.0 / 13.0;
    }
    Box b;
    b.left = scaled(t.x, l.sx);
    b.width = std::max(1, scaled(t.x + cx, l.sx) - b.left);
    if (multiRow(c)) {
        b.top = scaled(t.y, l.sy);
        b.height = std::max(1, scaled(t.y + cy, l.sy) - b.top);
    } else {
        double middle = t.kind == res::ControlKind::DropList ? t.y + 7 : t.y + cy / 2;
        b.top = int(std::floor(middle * l.sy));
        b.height = 1;
    }
    b.top = std::clamp(b.top, 0, l.inner.height - 1);
    b.left = std::clamp(b.left, 0, l.inner.width - 1);
    b.height = std::min(b.height, l.inner.height - b.top);
    b.width = std::min(b.width, l.inner.width - b.left);
    b.top += l.inner.top;
    b.left += l.inner.left;
    return b;
}

// ---- Texts -------------------------------------------------------------------------------------

// The text without its '&' marks, and the position of the mnemonic letter in it (-1 for none).
std::string stripMnemonic(const std::string& text, int* mnemonicAt = nullptr) {
    std::string out;
    int at = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != '&' && at < 0) at = int(out.size());
        }
        out += text[i];
    }
    if (mnemonicAt) *mnemonicAt = at;
    return out;
}

char mnemonicOf(const std::string& text) {
    int at = -1;
    std::string plain = stripMnemonic(text, &at);
    return at < 0 ? '\0' : char(std::tolower(static_cast<unsigned char>(plain[std::size_t(at)])));
}

// Breaks `text` into textLines of at most `width` cells: "\r\n" and "\n" end a line, words wrap, a word
// longer than a line is cut.
std::vector<std::string> wrap(const std::string& text, int width) {
    std::vector<std::string> textLines;
    width = std::max(1, width);
    std::string paragraph;
    auto flush = [&](const std::string& p) {
        std::string line;
        std::size_t i = 0;
        if (p.empty()) {
            textLines.emplace_back();
            return;
        }
        while (i < p.size()) {
            std::size_t spaceEnd = p.find_first_not_of(' ', i);
            if (spaceEnd == std::string::npos) break;
            std::size_t wordEnd = p.find(' ', spaceEnd);
            if (wordEnd == std::string::npos) wordEnd = p.size();
            std::string spaces = p.substr(i, spaceEnd - i);
            std::string word = p.substr(spaceEnd, wordEnd - spaceEnd);
            if (!line.empty() && int(line.size() + spaces.size() + word.size()) > width) {
                textLines.push_back(line);
                line.clear();
                spaces.clear();
            }
            if (line.empty()) spaces.clear();
            line += spaces;
            while (int(line.size() + word.size()) > width) {
                std::size_t room = std::size_t(width) - line.size();
                line += word.substr(0, room);
                word.erase(0, room);
                textLines.push_back(line);
                line.clear();
            }
            line += word;
            i = wordEnd;
        }
        textLines.push_back(line);
    };
    for (char ch : text) {
        if (ch == '\r') continue;
        if (ch == '\n') {
            flush(paragraph);
            paragraph.clear();
        } else {
            paragraph += ch == '\t' ? ' ' : ch;
        }
    }
    flush(paragraph);
    return textLines;
}

// ---- Drawing primitives, clipped to the screen -------------------------------------------------

void put(int row, int col, const std::string& text, attr_t attr, short colourPair, int maxCells) {
    if (row < 0 || row >= LINES || maxCells <= 0) return;
    int skip = col < 0 ? -col : 0;
    col = std::max(col, 0);
    int room = std::min(maxCells - skip, COLS - col);
    if (room <= 0 || skip >= int(text.size())) return;
    // A control character would move the cursor or clear the row: it never reaches the terminal.
    std::string shown = text.substr(std::size_t(skip), std::size_t(std::min(room, int(text.size()) - skip)));
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    attr_set(attr, colourPair, nullptr);
    mvaddnstr(row, col, shown.c_str(), int(shown.size()));
}

// One character cell given as UTF-8 (block characters, arrows).
void putGlyph(int row, int col, const char* utf8, attr_t attr, short colourPair) {
    if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
    attr_set(attr, colourPair, nullptr);
    mvaddstr(row, col, utf8);
}

void putChar(int row, int col, chtype ch, attr_t attr, short colourPair) {
    if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
    attr_set(attr, colourPair, nullptr);
    mvaddch(row, col, ch);
}

// Text with its mnemonic letter underlined.
void putMnemonic(int row, int col, const std::string& text, attr_t attr, short colourPair, int maxCells) {
    int at = -1;
    std::string plain = stripMnemonic(text, &at);
    put(row, col, plain, attr, colourPair, maxCells);
    if (at >= 0 && at < maxCells) {
        put(row, col + at, plain.substr(std::size_t(at), 1), attr | A_UNDERLINE, colourPair, 1);
    }
}

void fill(const Box& b, attr_t attr, short colourPair) {
    std::string blanks(std::size_t(std::max(0, b.width)), ' ');
    for (int r = b.top; r < b.top + b.height; ++r) put(r, b.left, blanks, attr, colourPair, b.width);
}

void frame(const Box& b, attr_t attr, short colourPair) {
    if (b.width < 2 || b.height < 2) return;
    int bottom = b.top + b.height - 1, right = b.left + b.width - 1;
    for (int c = b.left + 1; c < right; ++c) {
        putChar(b.top, c, ACS_HLINE, attr, colourPair);
        putChar(bottom, c, ACS_HLINE, attr, colourPair);
    }
    for (int r = b.top + 1; r < bottom; ++r) {
        putChar(r, b.left, ACS_VLINE, attr, colourPair);
        putChar(r, right, ACS_VLINE, attr, colourPair);
    }
    putChar(b.top, b.left, ACS_ULCORNER, attr, colourPair);
    putChar(b.top, right, ACS_URCORNER, attr, colourPair);
    putChar(bottom, b.left, ACS_LLCORNER, attr, colourPair);
    putChar(bottom, right, ACS_LRCORNER, attr, colourPair);
}

bool isButton(const Control& c) {
    return c.tmpl->kind == res::ControlKind::PushButton || c.tmpl->kind == res::ControlKind::DefPushButton;
}

// Colour pairs of the dialogs themselves; picture pairs follow them.
constexpr short kDesk = 1, kDialog = 2, kTitle = 3, kField = 4, kFocus = 5, kWarning = 6, kFirstPicturePair = 7;

int luminance(std::uint32_t rgb) {
    return int(((rgb >> 16) & 0xFF) * 299 + ((rgb >> 8) & 0xFF) * 587 + (rgb & 0xFF) * 114) / 1000;
}

}  // namespace

// ---- Opening and closing the terminal ----------------------------------------------------------

std::unique_ptr<TerminalBackend> TerminalBackend::open(std::string& error) {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        error = "standard input and output must be a terminal (run it in a terminal window or over SSH)";
        return nullptr;
    }
    const char* term = std::getenv("TERM");
    if (!term || !*term) {
        error = "TERM is not set; cannot tell what the terminal can do";
        return nullptr;
    }
    int status = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &status) != OK) {
        error = status == 0 ? std::string("unknown terminal type \"") + term + "\" (no terminfo entry)"
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
    tcgetattr(STDOUT_FILENO, &gSavedModes);
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
    backend->rebuildRestoreSequence();
    gTerminalTaken = 1;
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i) {
        sigaction(kExitSignals[i], nullptr, &gPreviousActions[i]);
        // Whoever started us with a signal ignored (nohup, a script's trap '') keeps it ignored.
        if (gPreviousActions[i].sa_handler == SIG_IGN) continue;
        setSignalAction(kExitSignals[i], restoreTerminalAndDie);
    }
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        sigaction(kFaultSignals[i], nullptr, &gPreviousFaultActions[i]);
        setSignalAction(kFaultSignals[i], restoreTerminalAndPassOn);
    }
    backend->render();
    return backend;
}

TerminalBackend::~TerminalBackend() {
    if (handedOver_) takeBack();
    erase();
    refresh();
    endwin();
    gTerminalTaken = 0;
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i) sigaction(kExitSignals[i], &gPreviousActions[i], nullptr);
    for (std::size_t i = 0; i < std::size(kFaultSignals); ++i) {
        sigaction(kFaultSignals[i], &gPreviousFaultActions[i], nullptr);
    }
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
    gTerminalTaken = 0;  // the handler must not read a half-written sequence
    gRestoreLength = std::min(s.size(), kRestoreMax);
    std::memcpy(gRestore, s.data(), gRestoreLength);
    gTerminalTaken = 1;
}

void TerminalBackend::prepareColours() {
    colour_ = has_colors() && start_color() == OK && COLORS >= 8 && COLOR_PAIRS >= 16;
    if (!colour_) return;
    init_pair(kDesk, COLOR_WHITE, COLOR_BLUE);
    init_pair(kDialog, COLOR_BLACK, COLOR_WHITE);
    init_pair(kTitle, COLOR_BLUE, COLOR_WHITE);
    init_pair(kField, COLOR_BLACK, COLOR_CYAN);
    init_pair(kFocus, COLOR_WHITE, COLOR_BLUE);
    init_pair(kWarning, COLOR_RED, COLOR_WHITE);
    nextPair_ = kFirstPicturePair;
    // The pictures' 16 colours on the terminal's 8 or 16: the nearest one.
    static const std::uint32_t kTerminalRgb[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                                   0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                                   0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    const int available = COLORS >= 16 ? 16 : 8;
    for (int p = 0; p < 16; ++p) {
        long best = -1;
        for (int t = 0; t < available; ++t) {
            long d = 0;
            for (int shift : {16, 8, 0}) {
                long a = long((res::kPalette16[p] >> shift) & 0xFF), b = long((kTerminalRgb[t] >> shift) & 0xFF);
                d += (a - b) * (a - b);
            }
            if (best < 0 || d < best) {
                best = d;
                colourOf_[p] = short(t);
            }
        }
    }
}

short TerminalBackend::pair(short fg, short bg) {
    int key = (fg << 8) | bg;
    auto it = pairs_.find(key);
    if (it != pairs_.end()) return it->second;
    if (nextPair_ >= COLOR_PAIRS || nextPair_ >= 0x7FFF) return kDialog;  // out of pairs: plain colours
    short number = nextPair_++;
    init_pair(number, fg, bg);
    pairs_[key] = number;
    return number;
}

// ---- Handing the terminal to the flasher -------------------------------------------------------

void TerminalBackend::handOver(const std::string& title, int fillAttribute) {
    if (handedOver_) return;
    handedOver_ = true;
    menu_.open = false;
    // Ctrl+C and Ctrl+\ now belong to the flasher, which has the terminal (it starts with the
    // default actions back); the wizard must neither end nor leave it writing on its own.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    def_prog_mode();
    endwin();
    std::string s;
    const char* term = std::getenv("TERM");
    const bool xtermTitles = term && (std::strncmp(term, "xterm", 5) == 0 || std::strncmp(term, "screen", 6) == 0 ||
                                      std::strncmp(term, "tmux", 4) == 0 || std::strncmp(term, "rxvt", 4) == 0);
    if (xtermTitles) s += "\033[22;0t\033]2;" + title + "\007";  // keep the old title, set ours
    std::string colours;
    if (colour_) {
        // Console attribute: foreground in the low bits, background in the next four (BGR + bright).
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
    flushinp();  // keys meant for the flasher (Escape!) must not reach the page that comes back
    clearok(curscr, TRUE);
    for (std::size_t i = 0; i < std::size(kExitSignals); ++i) {
        const int exitSignal = kExitSignals[i];
        if ((exitSignal == SIGINT || exitSignal == SIGQUIT) && gPreviousActions[i].sa_handler != SIG_IGN)
            setSignalAction(exitSignal, restoreTerminalAndDie);
    }
    render();
}

// ---- Window model ------------------------------------------------------------------------------

Millis TerminalBackend::now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const Window* TerminalBackend::active() const { return open_.empty() ? nullptr : open_.back(); }

TerminalBackend::View& TerminalBackend::view(const Window& window) { return views_[&window]; }

void TerminalBackend::windowOpened(const Window& window) {
    open_.push_back(&window);
    views_[&window] = View{};
    menu_.open = false;
    render();
}

void TerminalBackend::windowChanged(const Window& window, Change change, int) {
    if (change == Change::Iconic) menu_.open = false;
    render();
    (void)window;
}

void TerminalBackend::windowClosed(const Window& window, int) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    views_.erase(&window);
    menu_.open = false;
    render();
}

void TerminalBackend::inputIgnored(const Window&, const Input&, const char*) { beep(); }

void TerminalBackend::drawIcon(const Window& window, int, int, const res::Picture& icon) {
    view(window).icon = &icon;
    render();
}

// ---- Focus -------------------------------------------------------------------------------------

namespace {

// [begin, end) of the radio group around control `index`.
std::pair<int, int> radioGroup(const std::vector<Control>& controls, int index) {
    int begin = index;
    while (begin > 0 && !(controls[std::size_t(begin)].tmpl->style & res::kGroupStart) &&
           controls[std::size_t(begin - 1)].tmpl->kind == res::ControlKind::RadioButton) {
        --begin;
    }
    int end = index + 1;
    while (end < int(controls.size()) && controls[std::size_t(end)].tmpl->kind == res::ControlKind::RadioButton &&
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

bool TerminalBackend::waitInput(Millis deadline, Input& input) {
    render();
    for (;;) {
        int key = getch();
        if (key == ERR) {
            Millis t = now();
            if (deadline != kForever && t >= deadline) return false;
            int timeout = deadline == kForever ? 60000 : int(std::min<Millis>(deadline - t, 60000));
            pollfd p{STDIN_FILENO, POLLIN, 0};
            int ready = poll(&p, 1, timeout);
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                raise(SIGHUP);  // the terminal is gone: nobody is left to answer the wizard
            }
            continue;  // input, a time-out, or a signal (a resize comes as KEY_RESIZE next)
        }
        if (key == KEY_RESIZE) {
            rebuildRestoreSequence();
            clearok(curscr, TRUE);
            render();
            input = {InputKind::Repaint};
            return true;
        }
        bool alt = false;
        if (key == 27) {
            // Escape alone, or Alt+key, which terminals send as Escape and the key at once.
            timeout(30);
            int next = getch();
            nodelay(stdscr, TRUE);
            if (next != ERR && next != 27) {
                alt = true;
                key = next;
            }
        }
        if (translate(key, alt, input)) return true;
        render();
    }
}

void TerminalBackend::openMenu(const Window& window) {
    if (window.kind != WindowKind::Dialog || !window.tmpl || !(window.tmpl->style & res::kDlgCaption)) return;
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
        case KEY_UP: step(-1); return false;
        case KEY_DOWN: step(1); return false;
        case '\r': case '\n': case KEY_ENTER: return choose(menu_.selected);
        case 27: case ' ': menu_.open = false; return false;
        default: break;
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
        case '\t': moveFocus(*w, 1); return false;
        case KEY_BTAB: moveFocus(*w, -1); return false;
        case 27:
            if (alt) break;
            input = {InputKind::Escape};
            return true;
        case ' ':
            if (focused && (isButton(*focused) || focusKind == res::ControlKind::RadioButton)) {
                input = {InputKind::Press, focused->id};
                return true;
            }
            return false;
        case KEY_UP: case KEY_DOWN: case KEY_LEFT: case KEY_RIGHT: case KEY_HOME: case KEY_END: {
            const int d = key == KEY_UP || key == KEY_LEFT || key == KEY_HOME ? -1 : 1;
            if (focusKind == res::ControlKind::DropList && !focused->items.empty()) {
                int last = int(focused->items.size()) - 1;
                int to = key == KEY_HOME ? 0 : key == KEY_END ? last : std::clamp(focused->selection + d, 0, last);
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
        case KEY_PPAGE: case KEY_NPAGE:
            // Long texts scroll by page, whichever control has the focus.
            for (std::size_t i = 0; i < w->controls.size(); ++i) {
                const Control& c = w->controls[i];
                if (c.visible && c.tmpl->kind == res::ControlKind::Edit && (c.tmpl->style & res::kMultiLine)) {
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
    if (!alt && focusKind == res::ControlKind::Edit) return false;  // a text field takes plain letters
    const char letter = char(std::tolower(key));
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

// ---- Drawing -----------------------------------------------------------------------------------

void TerminalBackend::render() {
    if (handedOver_ || !screen_) return;
    const short desk = colour_ ? kDesk : 0, dialog = colour_ ? kDialog : 0;
    const short title = colour_ ? kTitle : 0, field = colour_ ? kField : 0;
    fill({0, 0, LINES, COLS}, A_NORMAL, desk);

    auto picture = [&](const Box& b, const res::Picture& pic) {
        if (pic.imageCount <= 0) return;
        const res::Image& img = pic.images[0];
        // Each cell shows two pixel rows (upper and lower half), each the block's most common colour.
        const int pixelRows = b.height * 2;
        // Shrunk several times, thin strokes (the logo's lettering) would vanish under the most
        // common colour; a block therefore shows its strongest colour other than the picture's
        // background when that covers a fifth of it.
        auto colourAt = [&](int x, int y) {
            int p = img.pixels[std::size_t(y) * std::size_t(img.width) + std::size_t(x)] & 15;
            return p == img.transparent ? 16 : p;  // 16: nothing
        };
        int background = 16;
        {
            int counts[17] = {};
            for (int y = 0; y < img.height; ++y) {
                for (int x = 0; x < img.width; ++x) ++counts[colourAt(x, y)];
            }
            background = int(std::max_element(std::begin(counts), std::end(counts)) - std::begin(counts));
        }
        auto sample = [&](int col, int prow) {
            int x0 = col * img.width / b.width, x1 = std::max(x0 + 1, (col + 1) * img.width / b.width);
            int y0 = prow * img.height / pixelRows, y1 = std::max(y0 + 1, (prow + 1) * img.height / pixelRows);
            int counts[17] = {};
            int total = 0;
            for (int y = y0; y < std::min(y1, img.height); ++y) {
                for (int x = x0; x < std::min(x1, img.width); ++x, ++total) ++counts[colourAt(x, y)];
            }
            int strongest = -1;
            for (int p = 0; p < 17; ++p) {
                if (p != background && (strongest < 0 || counts[p] > counts[strongest])) strongest = p;
            }
            if (strongest >= 0 && counts[strongest] * 5 >= total && counts[strongest] > 0) return strongest;
            return int(std::max_element(std::begin(counts), std::end(counts)) - std::begin(counts));
        };
        static const char* const kShadesUtf8[] = {" ", "\u2591", "\u2592", "\u2593", "\u2588"};
        static const char kShadesAscii[] = " .:#@";
        for (int r = 0; r < b.height; ++r) {
            for (int c = 0; c < b.width; ++c) {
                int upper = sample(c, 2 * r), lower = sample(c, 2 * r + 1);
                int row = b.top + r, col = b.left + c;
                if (colour_) {
                    short bgUpper = upper == 16 ? short(COLOR_WHITE) : colourOf_[upper];
                    short bgLower = lower == 16 ? short(COLOR_WHITE) : colourOf_[lower];
                    if (unicode_) {
                        putGlyph(row, col, "\u2580", A_NORMAL, pair(bgUpper, bgLower));
                    } else {
                        put(row, col, " ", A_NORMAL, pair(COLOR_BLACK, upper == 16 ? bgLower : bgUpper), 1);
                    }
                } else {
                    int lum = 0, n = 0;
                    for (int p : {upper, lower}) {
                        if (p != 16) lum += luminance(res::kPalette16[p]), ++n;
                    }
                    // Ink on paper: dark pixels dense, light ones blank, whatever the terminal's own colours.
                    int shade = n == 0 ? 0 : std::clamp((255 - lum / n) * 5 / 256, 0, 4);
                    if (unicode_) {
                        putGlyph(row, col, kShadesUtf8[shade], A_NORMAL, 0);
                    } else {
                        put(row, col, std::string(1, kShadesAscii[shade]), A_NORMAL, 0, 1);
                    }
                }
            }
        }
    };

    for (const Window* wp : open_) {
        const Window& w = *wp;
        if (!w.visible) continue;
        View& v = view(w);

        if (w.kind == WindowKind::Dialog && w.iconic) {
            // A minimised window: a small box at the bottom with its title and the icon it drew.
            Box b{std::max(0, LINES - 5), 1, 5, 18};
            fill(b, A_NORMAL, dialog);
            frame(b, A_NORMAL, dialog);
            put(b.top, b.left + 2, w.title, A_BOLD, title, b.width - 4);
            if (v.icon) picture({b.top + 1, b.left + 5, 3, 8}, *v.icon);
            continue;
        }

        if (w.kind == WindowKind::MessageBox) {
            const bool icon = w.icon == MessageIcon::Exclamation;
            const int indent = icon ? 5 : 0;
            const int maxText = std::max(10, std::min(COLS - 6 - indent, 64));
            std::vector<std::string> textLines = wrap(w.text, maxText);
            int textWidth = 0;
            for (const std::string& l : textLines) textWidth = std::max(textWidth, int(l.size()));
            int width = std::max({textWidth + indent + 4, int(w.title.size()) + 6, 14});
            int maxLines = std::max(1, LINES - 5);
            if (int(textLines.size()) > maxLines) textLines.resize(std::size_t(maxLines));
            int height = int(textLines.size()) + 4;  // border, text, a blank row, OK, border
            Box b{std::max(0, (LINES - height) / 2), std::max(0, (COLS - width) / 2), height, width};
            fill(b, A_NORMAL, dialog);
            frame(b, A_NORMAL, dialog);
            put(b.top, b.left + (b.width - int(w.title.size()) - 2) / 2, " " + w.title + " ", A_BOLD, title, b.width - 2);
            if (icon) put(b.top + 1, b.left + 2, "/!\\", A_BOLD, colour_ ? kWarning : 0, 3);
            for (std::size_t i = 0; i < textLines.size(); ++i) {
                put(b.top + 1 + int(i), b.left + 2 + indent, textLines[i], A_NORMAL, dialog, b.width - 4 - indent);
            }
            const std::string ok = "< OK >";
            put(b.top + b.height - 2, b.left + (b.width - int(ok.size())) / 2, ok, A_REVERSE | A_BOLD,
                colour_ ? kFocus : 0, int(ok.size()));
            continue;
        }

        if (!w.tmpl) continue;
        const Layout l = dialogLayout(w);
        fill(l.frame, A_NORMAL, dialog);
        frame(l.frame, A_NORMAL, dialog);
        put(l.frame.top, l.frame.left + (l.frame.width - int(w.title.size()) - 2) / 2, " " + w.title + " ", A_BOLD,
            title, l.frame.width - 2);
        const bool isActive = &w == active() && !menu_.open;
        if (isActive) fixFocus(w);

        for (std::size_t i = 0; i < w.controls.size(); ++i) {
            const Control& c = w.controls[i];
            if (!c.visible || !c.tmpl) continue;
            const Box b = controlBox(l, c);
            const bool hasFocus = isActive && v.focus == int(i);
            const attr_t focusAttr = hasFocus ? A_REVERSE : A_NORMAL;
            const int toEdge = l.inner.left + l.inner.width - b.left;  // labels may run to the border
            switch (c.tmpl->kind) {
                case res::ControlKind::Label: {
                    std::string plain = stripMnemonic(c.text);
                    int col = b.left;
                    if (c.tmpl->style & res::kCentered) col += std::max(0, (b.width - int(plain.size())) / 2);
                    putMnemonic(b.top, col, c.text, A_NORMAL, dialog, toEdge);
                    break;
                }
                case res::ControlKind::GroupBox:
                    frame(b, A_NORMAL, dialog);
                    putMnemonic(b.top, b.left + 1, " " + c.text + " ", A_NORMAL, dialog, b.width - 2);
                    break;
                case res::ControlKind::Edit: {
                    if (c.tmpl->style & res::kMultiLine) {
                        std::vector<std::string> textLines = wrap(c.text, b.width);
                        if (int(textLines.size()) > b.height && (c.tmpl->style & res::kVScroll) && b.width > 2) {
                            textLines = wrap(c.text, b.width - 1);  // the right column shows the scroll marks
                        }
                        int& top = v.scroll[int(i)];
                        top = std::clamp(top, 0, std::max(0, int(textLines.size()) - b.height));
                        for (int r = 0; r < b.height && top + r < int(textLines.size()); ++r) {
                            put(b.top + r, b.left, textLines[std::size_t(top + r)], focusAttr, dialog, b.width);
                        }
                        if (top > 0) putGlyph(b.top, b.left + b.width - 1, unicode_ ? "\u2191" : "^", A_BOLD, title);
                        if (top + b.height < int(textLines.size())) {
                            putGlyph(b.top + b.height - 1, b.left + b.width - 1, unicode_ ? "\u2193" : "v", A_BOLD, title);
                        }
                    } else {
                        const bool bordered = !(c.tmpl->style & res::kNoBorder);
                        if (bordered) fill(b, A_NORMAL, field);
                        put(b.top, b.left, c.text, focusAttr | (colour_ || !bordered ? A_NORMAL : A_UNDERLINE),
                            bordered ? field : dialog, b.width);
                    }
                    break;
                }
                case res::ControlKind::PushButton:
                case res::ControlKind::DefPushButton: {
                    const std::string label = stripMnemonic(c.text);
                    const int width = int(label.size()) + 4;
                    const int col = b.left + std::max(0, (b.width - width) / 2);
                    const bool def = c.tmpl->kind == res::ControlKind::DefPushButton;
                    attr_t attr = (hasFocus ? A_REVERSE : A_NORMAL) | (def && c.enabled ? A_BOLD : A_NORMAL);
                    short colourPair = hasFocus && colour_ ? kFocus : dialog;
                    if (!c.enabled) {
                        put(b.top, col, "  " + label + "  ", A_DIM, dialog, width);
                    } else {
                        put(b.top, col, "< ", attr, colourPair, 2);
                        putMnemonic(b.top, col + 2, c.text, attr, colourPair, int(label.size()));
                        put(b.top, col + 2 + int(label.size()), " >", attr, colourPair, 2);
                    }
                    break;
                }
                case res::ControlKind::RadioButton:
                    put(b.top, b.left, c.checked ? "(*) " : "( ) ", A_NORMAL, dialog, toEdge);
                    putMnemonic(b.top, b.left + 4, c.text, focusAttr | (c.enabled ? A_NORMAL : A_DIM), dialog,
                                toEdge - 4);
                    break;
                case res::ControlKind::DropList: {
                    std::string shown = c.selection >= 0 && c.selection < int(c.items.size())
                                            ? c.items[std::size_t(c.selection)]
                                            : std::string();
                    int inner = std::max(1, b.width - 2);
                    shown.resize(std::size_t(inner), ' ');
                    put(b.top, b.left, shown, focusAttr, field, inner);
                    put(b.top, b.left + inner, " ", focusAttr, field, 1);
                    putGlyph(b.top, b.left + inner + 1, unicode_ ? "\u25BC" : "v", focusAttr, field);
                    break;
                }
                case res::ControlKind::IconPicture:
                case res::ControlKind::BitmapPicture:
                    if (c.picture) picture(b, *c.picture);
                    break;
            }
        }
    }
    if (const Window* top = active(); menu_.open && top && top->visible && top->tmpl) {
        // The window menu, over the top left of its window (or of the minimised box).
        const Layout l = dialogLayout(*top);
        Box at = top->iconic ? Box{std::max(0, LINES - 5), 1, 0, 0} : l.frame;
        int width = 0;
        for (const MenuItem& m : menu_.items) width = std::max(width, int(stripMnemonic(m.text).size()));
        Box b{at.top + 1, at.left + 1, int(menu_.items.size()) + 2, width + 4};
        if (top->iconic) b.top = std::max(0, LINES - b.height - 5);
        fill(b, A_NORMAL, dialog);
        frame(b, A_NORMAL, dialog);
        for (std::size_t k = 0; k < menu_.items.size(); ++k) {
            const MenuItem& m = menu_.items[k];
            int row = b.top + 1 + int(k);
            if (m.command == 0) {
                for (int c = b.left + 1; c < b.left + b.width - 1; ++c) putChar(row, c, ACS_HLINE, A_NORMAL, dialog);
                continue;
            }
            bool sel = int(k) == menu_.selected;
            put(row, b.left + 1, std::string(std::size_t(width + 2), ' '), sel ? A_REVERSE : A_NORMAL, dialog, width + 2);
            putMnemonic(row, b.left + 2, m.text, sel ? A_REVERSE : A_NORMAL, dialog, width);
        }
    }
    attr_set(A_NORMAL, 0, nullptr);
    move(std::max(0, LINES - 1), std::max(0, COLS - 1));
    refresh();
}

}  // namespace ui::terminal
