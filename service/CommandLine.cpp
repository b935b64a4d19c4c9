#include "service/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "service/Help.h"
#include "service/PortArgument.h"
#include "service/PortListing.h"
#include "service/RunReport.h"
#include "service/Station.h"
#include "service/UnattendedRun.h"
#include "service/platform/ServiceOs.h"
#include "ui/Dialog.h"

namespace service {
namespace {

// The service bench's part of --help (and of the manual page, which is made from it), after the
// front end's own.
// The service bench's part of --help (and of the manual page, which is made from it), after the
// front end's own: how it is used, then the exit codes. The usage and the codes of the stop
// signals are the platform's (FrontEnd); these are reflasher's on Linux.
constexpr const char* kBenchUsage = R"(Service bench (no terminal needed, nothing asked):
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
flasher gets too), selected when the port selection page opens.)";

constexpr const char* kExitCodes =
    R"(Exit codes of --unattended (station: 0 when every port succeeded, else the code of the first
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
  30   the attempt could not be recorded (whatever its outcome, said on standard error))";

constexpr const char* kSignalCodes = R"(  129  stopped by SIGHUP (recorded as interrupted)
  130  stopped by SIGINT, Ctrl+C (recorded as interrupted)
  143  stopped by SIGTERM (recorded as interrupted))";

int DesignOf(const std::string& name) {
    return name == "grey" ? 1 : 0;
}

}  // namespace

int RunCommandLine(int argc, char** argv, const FrontEnd& frontEnd) {
    CLI::App cli{frontEnd.description, frontEnd.program};
    cli.formatter(std::make_shared<help::PlainFormatter>());
    cli.set_help_flag("-h,--help", "Show this text and exit");
    cli.set_version_flag("--version", "reflasher " REFLASHER_VERSION, "Show the version and exit");
    if (frontEnd.addOptions) frontEnd.addOptions(cli);
    const std::string bench =
        (frontEnd.benchUsage.empty() ? std::string(kBenchUsage) : frontEnd.benchUsage) + "\n\n" +
        kExitCodes + "\n" +
        (frontEnd.signalCodes.empty() ? std::string(kSignalCodes) : frontEnd.signalCodes);
    cli.footer(frontEnd.footer.empty() ? bench : frontEnd.footer + "\n\n" + bench);

    std::string port, restore, record, devRoot = "/dev";
    bool confirm = true, json = false, runUnattended = false, listPortsAsked = false;
    CLI::Option* unattended =
        cli.add_flag("--unattended", runUnattended,
                     "Run once under the operator policy, on the port given with --port");
    CLI::Option* portOption =
        cli.add_option("--port", port,
                       frontEnd.portHelp.empty()
                           ? "The COM port by its number (1 to 4), or a serial device by its path, "
                             "such as /dev/ttyUSB0; the wizard has it selected"
                           : frontEnd.portHelp)
            ->option_text(frontEnd.portHelp.empty() ? "N|PATH" : "N|COMn");
    CLI::Option* restoreOption =
        cli.add_option("--restore", restore,
                       "Restore instead of update, for a receiver with this case design")
            ->check(CLI::IsMember({"white", "grey"}))
            ->option_text("white|grey")
            ->needs(unattended);
    CLI::Option* confirmOption =
        cli.add_flag(
               "--confirm,!--no-confirm", confirm,
               "After the flash, identify the receiver again and check its new version (on unless "
               "--no-confirm)")
            ->needs(unattended);
    cli.add_flag("--json", json,
                 "Write JSON lines on standard output (with --unattended or --list-ports)");
    CLI::Option* recordOption =
        cli.add_option("--record", record, "Append one JSON line per attempt to FILE")
            ->option_text("FILE")
            ->needs(unattended);
    std::string operatorName, batch;
    bool force = false;
    int stationPort = 0;
    CLI::Option* operatorOption =
        cli.add_option("--operator", operatorName, "Who runs the bench, for the record")
            ->needs(unattended);
    CLI::Option* batchOption =
        cli.add_option("--batch", batch, "The batch of receivers, for the record")
            ->needs(unattended);
    cli.add_flag("--force", force, "Flash a receiver that runs the target version already")
        ->needs(unattended);
    // A station names each run's place in its port list; not for people.
    CLI::Option* stationPortOption = cli.add_option("--station-port", stationPort)
                                         ->group("")
                                         ->check(CLI::PositiveNumber)
                                         ->needs(unattended);
    CLI::Option* listPorts =
        cli.add_flag("--list-ports", listPortsAsked, "List the serial devices and exit");
    CLI::Option* devRootOption =
        cli.add_option("--dev-root", devRoot, "Look for the devices in DIR instead of /dev")
            ->option_text("DIR")
            ->needs(listPorts);
    listPorts->excludes(unattended)->excludes(portOption);
    (void)restoreOption, (void)confirmOption, (void)devRootOption;

    CLI::App* station =
        cli.add_subcommand("station", "Several receivers at once, one unattended run per port");
    std::vector<std::string> stationPorts;
    std::string stationRecord, stationRestore, stationOperator, stationBatch;
    bool stationConfirm = true, stationForce = false;
    station
        ->add_option("--ports", stationPorts,
                     "The ports, by COM port number or device path, separated by commas")
        ->delimiter(',')
        ->option_text("P1,P2,...")
        ->required();
    CLI::Option* stationRecordOption =
        station->add_option("--record", stationRecord, "Append one JSON line per attempt to FILE")
            ->option_text("FILE");
    CLI::Option* stationOperatorOption =
        station->add_option("--operator", stationOperator, "Who runs the bench");
    CLI::Option* stationBatchOption =
        station->add_option("--batch", stationBatch, "The batch of receivers");
    station->add_flag("--force", stationForce,
                      "Flash receivers that run the target version already");
    station
        ->add_option("--restore", stationRestore,
                     "Restore a receiver that does not answer, with this design")
        ->check(CLI::IsMember({"white", "grey"}))
        ->option_text("white|grey");
    station->add_flag("--confirm,!--no-confirm", stationConfirm,
                      "Identify each receiver again after its flash");
    station->set_help_flag("-h,--help", "Show this text and exit");
    station->footer(
        "Exit code: 0 when every port succeeded, else the first failed port's (see reflasher "
        "--help).");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ExtrasError&) {
        std::string extras;
        for (const std::string& extra : cli.remaining()) extras += " " + extra;
        std::fprintf(stderr, "reflasher: unknown option:%s\n\n%s", extras.c_str(),
                     cli.help().c_str());
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "reflasher: %s\n\n%s", e.what(), cli.help().c_str());
        return kExitUsage;
    }
    const std::string programName = ui::programNameFromPath(argc > 0 ? argv[0] : "reflasher");
    if (*station) {
        StationOptions options;
        options.program = service_os::OwnProgram(argc > 0 ? argv[0] : "reflasher");
        options.ports = stationPorts;
        if (stationRecordOption->count() > 0) options.record = stationRecord;
        if (stationOperatorOption->count() > 0) options.operatorName = stationOperator;
        if (stationBatchOption->count() > 0) options.batch = stationBatch;
        options.force = stationForce;
        options.restoreDesign = stationRestore.empty() ? -1 : DesignOf(stationRestore);
        options.confirm = stationConfirm;
        options.table = service_os::IsTerminal(stdout);
        return RunStation(options, stdout, stderr);
    }
    if (listPortsAsked) {
        PortListRoots roots;
        roots.dev = devRoot;
        return PrintPortList(roots, json, stdout);
    }
    if (runUnattended) {
        if (port.empty()) {
            std::fprintf(stderr, "reflasher: --unattended needs --port N|PATH\n\n%s",
                         cli.help().c_str());
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
        std::fprintf(stderr, "reflasher: --json needs --unattended or --list-ports\n\n%s",
                     cli.help().c_str());
        return kExitUsage;
    }

    if (json) {
        std::fprintf(stderr, "reflasher: --json needs --unattended or --list-ports\n\n%s",
                     cli.help().c_str());
        return kExitUsage;
    }
    if (!frontEnd.runWizard) {
        std::fprintf(stderr, "reflasher: --unattended, --list-ports or station is needed\n\n%s",
                     cli.help().c_str());
        return kExitUsage;
    }

    // The wizard. A device given with --port becomes a COM port, selected when the page opens.
    WizardStart start;
    start.programName = programName;
    if (!port.empty()) {
        PortChoice choice;
        std::string why;
        if (!ChoosePort(port, choice, why)) {
            std::fprintf(stderr, "reflasher: %s\n", why.c_str());
            return kExitUsage;
        }
        start.firstPortIndex = choice.com - 1;
    }
    return frontEnd.runWizard(start);
}

}  // namespace service
