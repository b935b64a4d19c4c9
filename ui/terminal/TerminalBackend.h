// The ncurses back end: the wizard's dialogs in a text terminal (a console, xterm, SSH, tmux).
//
// Each visible window is drawn centred on the screen, scaled from dialog units to character
// cells so that it fits (an 80 x 24 terminal holds every page); pictures become colour block
// characters, or shades in monochrome. Keys: Tab / Shift+Tab move the focus, arrows move in lists
// and radio groups, Enter presses the focused or the default button, Escape is Cancel, Alt+letter
// (or the plain letter when no text field has the focus) presses the button with that mnemonic,
// PgUp/PgDn scroll a long text, Alt+Space opens the window menu.
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

class TerminalBackend : public Backend {
public:
    // Takes over the terminal on standard input and output. nullptr, with `error` saying why, when
    // there is none that can be used (not a terminal, TERM unknown, no cursor addressing).
    static std::unique_ptr<TerminalBackend> open(std::string& error);
    ~TerminalBackend() override;
    TerminalBackend(const TerminalBackend&) = delete;
    TerminalBackend& operator=(const TerminalBackend&) = delete;

    // Lends the terminal to a child program (the flasher): leaves screen mode, titles the window,
    // fills it with `fillAttribute` (console colours: background in the high four bits) and ignores
    // SIGINT and SIGQUIT, which are meant for the child, until takeBack.
    void handOver(const std::string& title, int fillAttribute);
    // Takes the terminal back: screen mode again, keys typed meanwhile dropped, everything redrawn.
    void takeBack();

    // ---- Backend.
    Millis now() override;
    bool waitInput(Millis deadline, Input& input) override;
    void windowOpened(const Window& window) override;
    void windowChanged(const Window& window, Change change, int controlId) override;
    void windowClosed(const Window& window, int result) override;
    void inputIgnored(const Window& window, const Input& input, const char* reason) override;
    void drawIcon(const Window& window, int x, int y, const res::Picture& icon) override;

private:
    TerminalBackend() = default;

    // What the back end keeps of each open window beyond the framework's model.
    struct View {
        int focus = -1;                 // index into controls, -1 until first needed
        std::map<int, int> scroll;      // multi-line edits: first line shown, by control index
        const res::Picture* icon = nullptr;  // drawn by the page while minimised
    };
    struct Menu {
        bool open = false;
        int selected = 0;
        std::vector<MenuItem> items;
    };

    const Window* active() const;
    View& view(const Window& window);
    void render();
    void prepareColours();
    short pair(short fg, short bg);
    // Turns one key into input for the active window; false when it only changed what we show.
    bool translate(int key, bool alt, Input& input);
    bool menuKey(int key, Input& input);
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
    std::map<int, short> pairs_;  // (fg << 8 | bg) -> colour pair number
    short nextPair_ = 1;
    short colourOf_[16] = {};     // picture palette index -> terminal colour
    void* screen_ = nullptr;      // ncurses SCREEN*
};

}  // namespace ui::terminal
