// The flasher's console window: a pseudo-terminal of the wizard's own, on which the flasher runs
// as in a terminal (in a session of its own, with the terminal as its controlling one, so its
// progress line, raw keys and Ctrl+C work), and a window that shows what it writes and passes it
// the operator's keys. The pseudo-terminal lives as long as the console; the window is shown for
// each flasher run and closes when the run ends.
//
// User-interface thread only. The wizard holds the terminal's far side open too, so the flasher's
// last output stays readable after it has ended and no read ever sees a hang-up.
#pragma once

#include <termios.h>

#include <memory>
#include <string>

#include "ui/desktop/ConsoleText.h"

class QWidget;

namespace ui::desktop {

class ConsoleView;

class FlasherConsole {
  public:
    // Null with `error` when no pseudo-terminal can be had.
    static std::unique_ptr<FlasherConsole> create(std::string& error);
    ~FlasherConsole();
    FlasherConsole(const FlasherConsole&) = delete;
    FlasherConsole& operator=(const FlasherConsole&) = delete;

    static constexpr int kColumns = 80;
    static constexpr int kRows = 25;

    // The terminal device for the flasher.
    const std::string& terminal() const { return terminalPath_; }
    // Shows the window, empty, with the terminal put back as it was made (modes, nothing queued).
    void open(const std::string& title, int fillAttribute);
    // Reads what the flasher wrote and shows it.
    void pump();
    // Reads the last of it and closes the window.
    void close();
    // The window while it is open, else nullptr.
    QWidget* window() const;
    // Bytes for the flasher, as if typed on its terminal.
    void type(const std::string& bytes);

  private:
    FlasherConsole() = default;

    int master_ = -1;
    int slave_ = -1;  // held open, see the header
    std::string terminalPath_;
    termios initialModes_{};
    ConsoleText text_{kColumns};
    std::unique_ptr<ConsoleView> view_;
};

}  // namespace ui::desktop
