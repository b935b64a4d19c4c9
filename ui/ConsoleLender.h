// Lending the operator's console to another program (the flasher) while it runs, and taking it
// back. What that console is, the back end decides: the terminal itself (terminal/), a console
// window of the wizard's own on a pseudo-terminal (desktop/), the program's own console window,
// with the wizard's windows kept painted (win32/). The defaults do nothing: the program keeps the
// standard streams it is started with, and the waits for it block.
//
// All calls come from the user-interface thread, once per program run: lend, keepGoing any number
// of times, takeBack.
#pragma once

#include <string>

namespace ui {

class ConsoleLender {
  public:
    virtual ~ConsoleLender() = default;

    // Just before the program starts, with the window title and the fill attribute (console
    // colours: background in the high four bits).
    virtual void lend(const std::string& /*title*/, int /*fillAttribute*/) {}
    // While the wizard waits for the program, every few milliseconds for as long as it returns
    // true: a back end with windows of its own keeps them going here. The default returns false.
    virtual bool keepGoing() { return false; }
    // Once the wizard stops waiting for the program (it ended, could not start, or ran past its
    // limit), before any message is shown.
    virtual void takeBack() {}
    // A terminal device of the back end's own that becomes the program's standard streams and its
    // controlling terminal, in a session of its own, as a console is a program's own: Ctrl+C typed
    // there reaches the program alone. Empty: none.
    virtual std::string terminal() const { return {}; }
};

}  // namespace ui
