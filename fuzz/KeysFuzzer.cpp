// Arbitrary bytes typed at the terminal front end, through the whole wizard: ncurses' key decoding
// and the back end's own (Escape, Alt+key, menus, lists, focus) on a real pseudo-terminal.
//
// The input is split at NUL bytes into what the operator types for one window after another: each
// piece is written to the terminal when the previous one has been read up (the back end drops
// keys typed before a window is shown, as it should). A piece that ends with Escape is an Escape
// alone (nothing follows it within the terminal's wait); Escape and a key in one piece is Alt+key.
// Once the pieces are used up the operator presses Escape until the wizard has ended: a wizard
// that does not end within a bounded number of them is a finding. The clock jumps to the next
// timer when the wizard waits on one, and the connecting page's pauses take no time.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "source/Reflasher.h"
#include "ui/Dialog.h"
#include "ui/terminal/TerminalBackend.h"

namespace {

constexpr int kMostEscapes = 200;
constexpr int kMostJumps = 8;

// The terminal: a pseudo-terminal on standard input and output, its output read and dropped by a
// thread of its own so that drawing never blocks. Made once, for the whole run.
struct Terminal {
    Terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        Check(slave >= 0);
        winsize size{25, 80, 0, 0};
        ioctl(slave, TIOCSWINSZ, &size);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        close(slave);
        drain = std::thread([this] {
            char buffer[4096];
            for (;;) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, -1) > 0 && read(master, buffer, sizeof buffer) < 0 &&
                    errno != EAGAIN)
                    break;
            }
        });
        drain.detach();
        setenv("TERM", "xterm-256color", 1);
        std::string error;
        backend = ui::terminal::TerminalBackend::open(error);
        Check(backend != nullptr);
        // Ctrl+S would stop the terminal's output until Ctrl+Q, as on any terminal (the terminal's
        // business, not the wizard's): the fuzzer's terminal has no such flow control.
        termios modes{};
        Check(tcgetattr(STDIN_FILENO, &modes) == 0);
        modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
        Check(tcsetattr(STDIN_FILENO, TCSANOW, &modes) == 0);
        folder = FuzzFolder();
        // No COM port has a device, and the program folder has no flasher: every road ends in a
        // message box at once.
        for (int n = 1; n <= 4; ++n)
            setenv(("REFLASHER_COM" + std::to_string(n)).c_str(), (folder + "/none").c_str(), 1);
    }
    int master = -1;
    std::thread drain;
    std::unique_ptr<ui::terminal::TerminalBackend> backend;
    std::string folder;
};

Terminal& TheTerminal() {
    static Terminal* terminal = new Terminal;  // lives as long as the process
    return *terminal;
}

// The operator: types each piece when the last one has been read, then presses Escape.
class Operator : public ui::Backend {
  public:
    Operator(Terminal& terminal, std::vector<std::string> pieces)
        : terminal_(terminal), backend_(*terminal.backend), pieces_(std::move(pieces)) {}

    ui::Millis now() override { return backend_.now() + skipped_; }
    bool waitInput(ui::Millis deadline, ui::Input& input) override {
        for (;;) {
            if (backend_.waitInput(backend_.now(), input)) {
                checkInput(input);
                return true;
            }
            if (typeNext()) continue;
            // Typed out: the clock jumps to the page's next timer a bounded number of times (the
            // Welcome page's animation runs for ever), then the operator presses Escape.
            if (deadline != ui::kForever && ++jumps_ <= kMostJumps) {
                if (deadline > now()) skipped_ += deadline - now();
                return false;
            }
            Check(++escapes_ <= kMostEscapes);
            input = {ui::InputKind::Escape};
            return true;
        }
    }
    void windowOpened(const ui::Window& window) override {
        open_.push_back(&window);
        backend_.windowOpened(window);
    }
    void windowChanged(const ui::Window& window, ui::Change change, int controlId) override {
        backend_.windowChanged(window, change, controlId);
    }
    void windowClosed(const ui::Window& window, int result) override {
        std::erase(open_, &window);
        backend_.windowClosed(window, result);
    }
    void inputIgnored(const ui::Window& window, const ui::Input& input,
                      const char* reason) override {
        backend_.inputIgnored(window, input, reason);
    }
    void busyPause(ui::Millis) override {}
    void drawIcon(const ui::Window& window, int x, int y, const res::Picture& icon) override {
        backend_.drawIcon(window, x, y, icon);
    }

  private:
    bool typeNext() {
        int waiting = 0;
        if (ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0) return true;
        // A piece goes in as far as the terminal's input queue takes it; the rest when it is read.
        if (typing_.empty()) {
            if (next_ == pieces_.size()) return false;
            typing_ = pieces_[next_++];
        }
        const ssize_t written = write(terminal_.master, typing_.data(), typing_.size());
        if (written > 0) typing_.erase(0, static_cast<std::size_t>(written));
        // Until the line discipline has it, as a terminal would have it by the next read.
        for (int i = 0; i < 1000 && written > 0; ++i) {
            if (ioctl(STDIN_FILENO, FIONREAD, &waiting) == 0 && waiting > 0) break;
            usleep(100);
        }
        return true;
    }
    // What the terminal makes of keys always names a control of the active window, and an entry
    // its list has.
    void checkInput(const ui::Input& input) const {
        if (input.kind != ui::InputKind::Press && input.kind != ui::InputKind::Select) return;
        Check(!open_.empty());
        const ui::Control* control = open_.back()->control(input.control);
        Check(control != nullptr);
        if (input.kind == ui::InputKind::Select) {
            Check(input.index >= 0 &&
                  static_cast<std::size_t>(input.index) < control->items.size());
        }
    }

    Terminal& terminal_;
    ui::terminal::TerminalBackend& backend_;
    std::vector<std::string> pieces_;
    std::size_t next_ = 0;
    std::string typing_;  // what is left of the piece being typed
    ui::Millis skipped_ = 0;
    int escapes_ = 0;
    int jumps_ = 0;
    std::vector<const ui::Window*> open_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Terminal& terminal = TheTerminal();
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back() += static_cast<char>(data[i]);
        }
    }
    Operator operatorAtTheKeys(terminal, std::move(pieces));
    WizardSurroundings surroundings;
    surroundings.flasher.programFolder = terminal.folder;
    surroundings.flasher.tempFolder = terminal.folder + "/";
    ReflasherApp app(operatorAtTheKeys, "Reflasher", surroundings);
    app.initInstance();
    return 0;
}
