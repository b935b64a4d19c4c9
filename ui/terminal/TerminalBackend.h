// The ncurses back end: the wizard's dialogs in a text terminal (a console, xterm, SSH, tmux).
//
// Each visible window is drawn centred on the screen, laid out from dialog units to character
// cells (Layout.h); windows behind the active one are drawn inactive. Pictures become colour
// block characters, or shades in monochrome. Keys: Tab / Shift+Tab move the focus, arrows move in
// lists and radio groups, Alt+Down, F4 or Space open a drop-down list, Enter presses the focused
// or the default button, Escape is Cancel, Alt+letter presses the button with that mnemonic (the
// plain letter too, unless a list has the focus: there it picks an entry), PgUp/PgDn scroll a long
// text, Alt+Space opens the window menu. Keys typed before a window was shown never reach it, nor
// does a key held down since then, until it is released and pressed again.
//
// The files: TerminalBackend.cpp (the terminal and the window model), Layout.cpp (cells from
// dialog units), Drawing.cpp, Keys.cpp (keys, focus, menus), HandOver.cpp (lending the terminal
// to the flasher), Signals.cpp (the emergency exit), Screen.cpp and Text.cpp (primitives).
//
// There is one terminal, so there is at most one TerminalBackend at a time. Everything runs on the
// user-interface thread except the signal handler, which only restores the terminal and ends the
// program (Ctrl+C, SIGTERM, SIGHUP), whatever the wizard is doing at that moment.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/Backend.h"

namespace ui::terminal {

struct Box;

class TerminalBackend : public Backend, private ConsoleLender {
  public:
    // Takes over the terminal on standard input and output. nullptr, with `error` saying why, when
    // there is none that can be used (not a terminal, TERM unknown, no cursor addressing).
    static std::unique_ptr<TerminalBackend> open(std::string& error);
    ~TerminalBackend() override;
    TerminalBackend(const TerminalBackend&) = delete;
    TerminalBackend& operator=(const TerminalBackend&) = delete;

    // ---- ConsoleLender (HandOver.cpp): the flasher's console is this terminal.
    // Lends the terminal to a child program (the flasher): leaves screen mode, titles the window,
    // fills it with `fillAttribute` (console colours: background in the high four bits) and ignores
    // SIGINT and SIGQUIT, which are meant for the child, until takeBack.
    void lend(const std::string& title, int fillAttribute) override;
    // Takes the terminal back: screen mode again, keys typed meanwhile dropped, everything redrawn.
    void takeBack() override;

    // ---- Backend.
    Millis now() override;
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;
    void drawIcon(const Window& window, int x, int y, const res::Picture& icon) override;
    ConsoleLender& console() override { return *this; }

  private:
    TerminalBackend() = default;

    // What the back end keeps of each open window beyond the framework's model.
    struct View {
        int focus = -1;                      // index into controls, -1 until first needed
        std::map<int, int> scroll;           // multi-line edits: first line shown, by control index
        const res::Picture* icon = nullptr;  // drawn by the page while minimised
        bool dropped = false;                // the focused drop-down list is open
        int hot = 0;                         // its highlighted entry meanwhile
    };
    struct Menu {
        bool open = false;
        int selected = 0;
        std::vector<MenuItem> items;
    };

    const Window* active() const;
    // The window drawn on top: the most recently opened of those shown.
    const Window* topVisible() const;
    View& view(const Window& window);

    // ---- Drawing.cpp
    void render();
    void drawDialog(const Window& window, bool isActive);
    void drawMessageBox(const Window& window, bool isActive);
    void drawIconic(const Window& window);
    void drawPicture(const Box& box, const res::Picture& picture);
    void drawMenu(const Window& window);
    void drawDropList(const Window& window);
    void drawNotice(const std::string& text);
    void prepareColours();
    short pair(short fg, short bg);

    // ---- Keys.cpp
    // The next key, Alt+key (Escape and the key at once) as one; ERR when none waits.
    int readKey();
    // Whether `key`, read now, repeats a key held down since before the active window became so:
    // such a key acts on the window only once it has been released and pressed again.
    bool heldOver(int key);
    // Whether `key` comes again within a repeat's pace (what came, if anything, is read ahead).
    bool repeatFollows(int key);
    // Drops the keys typed while the wizard could not take them, noting a key still held.
    void dropTypedKeys();
    // A window is shown: counted, and the keys typed so far dropped.
    void shownAnew();
    void resized();
    // Turns one key into input for the active window; false when it only changed what we show.
    bool translate(int key, bool alt, Input& input);
    bool menuKey(int key, Input& input);
    bool dropListKey(const Window& window, int key, Input& input);
    void openMenu(const Window& window);
    bool validFocus(const Window& window, int index) const;
    void fixFocus(const Window& window);
    void moveFocus(const Window& window, int step);

    void rebuildRestoreSequence();

    std::vector<const Window*> open_;  // oldest first; the last one gets the input
    std::map<const Window*, View> views_;
    Menu menu_;
    bool colour_ = false;
    bool unicode_ = false;
    bool handedOver_ = false;
    // Windows opened or shown so far; keys typed before a window was shown never act on it.
    int shown_ = 0;
    // Changes whenever another window becomes the active one (shown, or uncovered as one closes).
    int closed_ = 0;
    int turn() const { return shown_ + closed_; }
    // The last run of one key (read closer together than a repeat): which key, when it was last
    // read, turn() when it began (-1: before any window), and how many keys it had.
    struct KeyRun {
        int key = -1;
        Millis last = 0;
        int shownAt = -1;
        int length = 0;
    };
    KeyRun run_;
    int pendingKey_ = -1;         // read ahead by repeatFollows; -1 (ERR) for none
    std::map<int, short> pairs_;  // (fg << 8 | bg) -> colour pair number
    short nextPair_ = 1;
    short colourOf_[16] = {};  // picture palette index -> terminal colour
    void* screen_ = nullptr;   // ncurses SCREEN*
    int altDown_ = -2;         // the key code of Alt+Down, where the terminal has one
};

}  // namespace ui::terminal
