// reflasher: the wizard in a desktop window where there is one, else in a text terminal. Resources
// are compiled in, so its folder needs only this program, prog.exe and the firmware files. COM port
// n is $REFLASHER_COM<n> or /dev/ttyS<n-1>.
//
// The same program serves a service bench: --unattended runs the wizard once under an operator
// policy, `station` runs one such run per port, --list-ports lists the serial devices
// (service/). Everything there is opt-in; without those options it is the wizard.
#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "service/CommandLine.h"
#include "source/Reflasher.h"
#include "source/desktop/Desktop.h"
#include "ui/terminal/TerminalBackend.h"

namespace {

// The program's own exit code; those of a session that ran are SessionExitCode's (0, 3, 4), those
// of a bad command line and of the bench's modes service::RunCommandLine's.
constexpr int kExitCannotStart =
    1;  // no usable terminal (or display), or the wizard could not start

// The rest of --help (and of the manual page, which is made from it), before the service bench's
// part: a heading ends with ':', an entry is indented two spaces, its text starts after two
// blanks or on the lines below.
constexpr const char* kFooter = R"(Ports and files:
COM port n is the device named by $REFLASHER_COM<n> (e.g. REFLASHER_COM1=/dev/ttyUSB0),
else /dev/ttyS<n-1>. prog.exe and the firmware files must be in the folder of this program: for
an installed wizard libexec/reflasher under its prefix (/usr/libexec/reflasher from the package),
not bin, where reflasher is only a link.

The wizard opens a desktop window when a display is named (WAYLAND_DISPLAY or DISPLAY) and Qt
starts on it; otherwise it runs in this terminal.

Keys in the terminal:
  Tab, Shift+Tab         move the focus
  arrows                 move in the COM port list and the radio group
  Alt+Down, F4, Space    open the COM port list (Enter takes the entry, Escape keeps the old one)
  Enter                  the focused button, else the default one
  Escape                 Cancel (on a message box: OK)
  Alt+letter             the button with that underlined letter (the plain letter too, unless
                         a list has the focus: there it picks the entry that begins with it)
  PgUp, PgDn             scroll a long text
  Alt+Space              the window menu (About on the Welcome page, minimise, restore, close)
  Ctrl+C                 ends the wizard; while the flasher runs it goes to the flasher

Exit codes:
  0    the operator left after an update or restore that worked
  1    no usable terminal (or display), or the wizard could not start
  2    a bad command line
  3    the operator left without flashing
  4    the last update or restore did not work
  130  ended by Ctrl+C)";

// The wizard, in a desktop window where there is one, else in this terminal.
int RunWizard(const service::WizardStart& start, bool terminalOnly, bool desktopOnly) {
    const std::string& programName = start.programName;
    WizardSurroundings surroundings;
    surroundings.firstPortIndex = start.firstPortIndex;
    std::setlocale(LC_CTYPE, "");  // block characters when the terminal speaks UTF-8

    // ---- The desktop window, where there is one.
    std::string noDesktop;
    if (!terminalOnly) {
        if (desktop::CanStart(desktopOnly, noDesktop)) {
            SessionOutcome outcome = SessionOutcome::NothingFlashed;
            try {
                if (!desktop::RunWizard(programName, surroundings, outcome, noDesktop)) {
                    std::fprintf(stderr, "%s: %s\n", programName.c_str(), noDesktop.c_str());
                    return kExitCannotStart;
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", programName.c_str(), e.what());
                return kExitCannotStart;
            }
            return SessionExitCode(outcome);
        }
        if (desktopOnly) {
            std::fprintf(stderr, "%s: no desktop window: %s\n", programName.c_str(),
                         noDesktop.c_str());
            return kExitCannotStart;
        }
    }

    // ---- The terminal.
    std::string error;
    std::unique_ptr<ui::terminal::TerminalBackend> terminal =
        ui::terminal::TerminalBackend::open(error);
    if (!terminal) {
        std::fprintf(stderr, "%s: %s\n", programName.c_str(), error.c_str());
        // A display was named but could not be used: say why, since a window was to be expected.
        if (!terminalOnly && desktop::DisplayNamed())
            std::fprintf(stderr, "%s: no desktop window either: %s\n", programName.c_str(),
                         noDesktop.c_str());
        return kExitCannotStart;
    }
    SessionOutcome outcome = SessionOutcome::NothingFlashed;
    try {
        ReflasherApp app(*terminal, programName, std::move(surroundings));
        app.initInstance();
        outcome = app.outcome();
    } catch (const std::exception& e) {
        terminal.reset();  // the terminal must be usable before the reason is written
        std::fprintf(stderr, "%s: %s\n", programName.c_str(), e.what());
        return kExitCannotStart;
    }
    terminal.reset();
    return SessionExitCode(outcome);
}

}  // namespace

int main(int argc, char** argv) {
    bool terminalOnly = false, desktopOnly = false;
    service::FrontEnd frontEnd;
    frontEnd.description =
        "Firmware update wizard for the receiver, in a desktop window or in this terminal.";
    frontEnd.footer = kFooter;
    frontEnd.addOptions = [&](CLI::App& cli) {
        CLI::Option* terminalFlag =
            cli.add_flag("--terminal", terminalOnly,
                         "Run in this terminal, even where a desktop window could open");
        cli.add_flag("--desktop", desktopOnly,
                     "Open a desktop window, or end with exit code 1 saying why not")
            ->excludes(terminalFlag);
    };
    frontEnd.runWizard = [&](const service::WizardStart& start) {
        return RunWizard(start, terminalOnly, desktopOnly);
    };
    return service::RunCommandLine(argc, argv, frontEnd);
}
