// reflasher: the wizard in a desktop window where there is one, else in a text terminal. Resources
// are compiled in, so its folder needs only this program, prog.exe and the firmware files. COM port
// n is $REFLASHER_COM<n> or /dev/ttyS<n-1>.
//
// The same program serves a service bench: --unattended runs the wizard once under an operator
// policy, `station` runs one such run per port, --list-ports lists the serial devices
// (source/unattended/). Everything there is opt-in; without those options it is the wizard.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "source/Reflasher.h"
#include "source/desktop/Desktop.h"
#include "source/terminal/Help.h"
#include "source/unattended/PortArgument.h"
#include "source/unattended/PortListing.h"
#include "source/unattended/Station.h"
#include "source/unattended/UnattendedRun.h"
#include "ui/Dialog.h"
#include "ui/terminal/TerminalBackend.h"

namespace {

// The program's own exit codes; those of a session that ran are SessionExitCode's (0, 3, 4).
enum ExitCode : int {
    kExitCannotStart = 1,  // no usable terminal (or display), or the wizard could not start
    kExitUsage = 2,        // a bad command line
};

// The rest of --help (and of the manual page, which is made from it): a heading ends with ':',
// an entry is indented two spaces, its text starts after two blanks or on the lines below.
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
  130  ended by Ctrl+C

Service bench (no terminal needed, nothing asked):
  reflasher --unattended --port N|PATH [--restore white|grey] [--no-confirm] [--json] [--record FILE]
            [--operator NAME] [--batch ID] [--force]
      one update (or restore) under an operator policy: Next, the port, Next, Update when the
      page enables it (or Restore with the design), OK on every message box, No at the end;
      then the receiver is identified again and must run the new version (--confirm). A
      receiver that runs the target version already is left alone (outcome current), unless
      --force.
  reflasher station --ports P1,P2,... [--record FILE] [--restore white|grey] [--no-confirm]
            [--operator NAME] [--batch ID] [--force]
      one unattended run per port at once, a live table on a terminal (JSON lines otherwise);
      with --restore, a port whose receiver does not answer is restored with that design.
  reflasher --list-ports [--json]
      the serial devices, the COM port each stands for now, and whether this user can open it.

--port PATH also serves the wizard: the device becomes a COM port (REFLASHER_COM<n>, which the
flasher gets too), selected when the port selection page opens.

Exit codes of --unattended (station: 0 when every port succeeded, else the code of the first
port that did not; 128 + the signal when stopped):
  0    updated or restored (and confirmed), or already current
  1    the run ended without a known outcome
  2    a bad command line, a bad port, or a record file that cannot be written
  10   the receiver's battery is too low
  11   no receiver answered on the port
  12   the port cannot be opened
  13   the receiver did not tell its serial number and firmware version
  14   there is no firmware for this receiver's serial number
  20   the flasher failed
  21   the flasher did not end in time
  22   the firmware file or the flasher is missing
  24   confirmation failed: after the flash the receiver runs another version, or is silent
  25   confirmation failed: after the flash another receiver (serial number) answered
  30   the attempt could not be recorded (whatever its outcome, said on standard error)
  129  stopped by SIGHUP (recorded as interrupted)
  130  stopped by SIGINT, Ctrl+C (recorded as interrupted)
  143  stopped by SIGTERM (recorded as interrupted))";

// The running executable, for the station's runs; argv[0] when /proc cannot tell.
std::string OwnPath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string(argv0);
}

int DesignOf(const std::string& name) { return name == "grey" ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Firmware update wizard for the receiver, in a desktop window or in this terminal.", "reflasher"};
    cli.formatter(std::make_shared<help::PlainFormatter>());
    cli.set_help_flag("-h,--help", "Show this text and exit");
    cli.set_version_flag("--version", "reflasher " REFLASHER_VERSION, "Show the version and exit");
    bool terminalOnly = false, desktopOnly = false;
    CLI::Option* terminalFlag =
        cli.add_flag("--terminal", terminalOnly, "Run in this terminal, even where a desktop window could open");
    cli.add_flag("--desktop", desktopOnly, "Open a desktop window, or end with exit code 1 saying why not")
        ->excludes(terminalFlag);
    cli.footer(kFooter);

    std::string port, restore, record, devRoot = "/dev";
    bool confirm = true, json = false, runUnattended = false, listPortsAsked = false;
    CLI::Option* unattended =
        cli.add_flag("--unattended", runUnattended, "Run once under the operator policy, on the port given with --port");
    CLI::Option* portOption =
        cli.add_option("--port", port, "The COM port by its number (1 to 4), or a serial device by its path, such "
                                       "as /dev/ttyUSB0; the wizard has it selected")
            ->option_text("N|PATH");
    CLI::Option* restoreOption =
        cli.add_option("--restore", restore, "Restore instead of update, for a receiver with this case design")
            ->check(CLI::IsMember({"white", "grey"}))
            ->option_text("white|grey")
            ->needs(unattended);
    CLI::Option* confirmOption =
        cli.add_flag("--confirm,!--no-confirm", confirm,
                     "After the flash, identify the receiver again and check its new version (on unless "
                     "--no-confirm)")
            ->needs(unattended);
    cli.add_flag("--json", json, "Write JSON lines on standard output (with --unattended or --list-ports)");
    CLI::Option* recordOption =
        cli.add_option("--record", record, "Append one JSON line per attempt to FILE")
            ->option_text("FILE")
            ->needs(unattended);
    std::string operatorName, batch;
    bool force = false;
    int stationPort = 0;
    CLI::Option* operatorOption =
        cli.add_option("--operator", operatorName, "Who runs the bench, for the record")->needs(unattended);
    CLI::Option* batchOption =
        cli.add_option("--batch", batch, "The batch of receivers, for the record")->needs(unattended);
    cli.add_flag("--force", force, "Flash a receiver that runs the target version already")
        ->needs(unattended);
    // A station names each run's place in its port list; not for people.
    CLI::Option* stationPortOption =
        cli.add_option("--station-port", stationPort)->group("")->check(CLI::PositiveNumber)->needs(unattended);
    CLI::Option* listPorts = cli.add_flag("--list-ports", listPortsAsked, "List the serial devices and exit");
    CLI::Option* devRootOption =
        cli.add_option("--dev-root", devRoot, "Look for the devices in DIR instead of /dev")
            ->option_text("DIR")
            ->needs(listPorts);
    listPorts->excludes(unattended)->excludes(portOption);
    (void)restoreOption, (void)confirmOption, (void)devRootOption;

    CLI::App* station = cli.add_subcommand("station", "Several receivers at once, one unattended run per port");
    std::vector<std::string> stationPorts;
    std::string stationRecord, stationRestore, stationOperator, stationBatch;
    bool stationConfirm = true, stationForce = false;
    station->add_option("--ports", stationPorts, "The ports, by COM port number or device path, separated by commas")
        ->delimiter(',')
        ->option_text("P1,P2,...")
        ->required();
    CLI::Option* stationRecordOption =
        station->add_option("--record", stationRecord, "Append one JSON line per attempt to FILE")->option_text("FILE");
    CLI::Option* stationOperatorOption = station->add_option("--operator", stationOperator, "Who runs the bench");
    CLI::Option* stationBatchOption = station->add_option("--batch", stationBatch, "The batch of receivers");
    station->add_flag("--force", stationForce, "Flash receivers that run the target version already");
    station->add_option("--restore", stationRestore, "Restore a receiver that does not answer, with this design")
        ->check(CLI::IsMember({"white", "grey"}))
        ->option_text("white|grey");
    station->add_flag("--confirm,!--no-confirm", stationConfirm, "Identify each receiver again after its flash");
    station->set_help_flag("-h,--help", "Show this text and exit");
    station->footer("Exit code: 0 when every port succeeded, else the first failed port's (see reflasher --help).");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ExtrasError&) {
        std::string extras;
        for (const std::string& extra : cli.remaining()) extras += " " + extra;
        std::fprintf(stderr, "reflasher: unknown option:%s\n\n%s", extras.c_str(), cli.help().c_str());
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "reflasher: %s\n\n%s", e.what(), cli.help().c_str());
        return kExitUsage;
    }
    const std::string programName = ui::programNameFromPath(argc > 0 ? argv[0] : "reflasher");
    if (*station) {
        StationOptions options;
        options.program = OwnPath(argv[0]);
        options.ports = stationPorts;
        if (stationRecordOption->count() > 0) options.record = stationRecord;
        if (stationOperatorOption->count() > 0) options.operatorName = stationOperator;
        if (stationBatchOption->count() > 0) options.batch = stationBatch;
        options.force = stationForce;
        options.restoreDesign = stationRestore.empty() ? -1 : DesignOf(stationRestore);
        options.confirm = stationConfirm;
        options.table = isatty(STDOUT_FILENO) != 0;
        return RunStation(options, stdout, stderr);
    }
    if (listPortsAsked) {
        PortListRoots roots;
        roots.dev = devRoot;
        return PrintPortList(roots, json, stdout);
    }
    if (runUnattended) {
        if (port.empty()) {
            std::fprintf(stderr, "reflasher: --unattended needs --port N|PATH\n\n%s", cli.help().c_str());
            return kExitUsage;
        }
        UnattendedOptions options;
        options.programName = programName;
        options.port = port;
        options.restore = !restore.empty();
        options.design = DesignOf(restore);
        options.confirm = confirm;
        options.json = json;
        if (recordOption->count() > 0) options.record = record;  // "" is refused there
        if (operatorOption->count() > 0) options.operatorName = operatorName;
        if (batchOption->count() > 0) options.batch = batch;
        if (stationPortOption->count() > 0) options.stationPort = stationPort;
        options.force = force;
        return RunUnattended(options, WizardSurroundings{}, stdout, stderr);
    }
    if (json) {
        std::fprintf(stderr, "reflasher: --json needs --unattended or --list-ports\n\n%s", cli.help().c_str());
        return kExitUsage;
    }

    // The wizard. A device given with --port becomes a COM port, selected when the page opens.
    WizardSurroundings surroundings;
    if (!port.empty()) {
        PortChoice choice;
        std::string why;
        if (!ChoosePort(port, choice, why)) {
            std::fprintf(stderr, "reflasher: %s\n", why.c_str());
            return kExitUsage;
        }
        surroundings.firstPortIndex = choice.com - 1;
    }
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
            std::fprintf(stderr, "%s: no desktop window: %s\n", programName.c_str(), noDesktop.c_str());
            return kExitCannotStart;
        }
    }

    // ---- The terminal.
    std::string error;
    std::unique_ptr<ui::terminal::TerminalBackend> terminal = ui::terminal::TerminalBackend::open(error);
    if (!terminal) {
        std::fprintf(stderr, "%s: %s\n", programName.c_str(), error.c_str());
        // A display was named but could not be used: say why, since a window was to be expected.
        if (!terminalOnly && desktop::DisplayNamed())
            std::fprintf(stderr, "%s: no desktop window either: %s\n", programName.c_str(), noDesktop.c_str());
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
