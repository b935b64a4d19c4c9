// The reflasher command line, for every main that carries the service bench: the bench's options
// (--unattended and its companions, --list-ports, the `station` subcommand and the station's own
// re-invocation of the program for each port) are parsed and run here; what is left is handed to
// the front end's wizard with the port --port chose. The front end brings its own options and
// the first part of --help's closing text; --help shows them in that order.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace service {

// What the wizard is started with when no bench mode was asked for.
struct WizardStart {
    std::string programName;  // from argv[0], the message boxes' caption
    int firstPortIndex = -1;  // the port selection page's entry --port chose; -1 none
};

struct FrontEnd {
    std::string description;            // --help's first line
    std::string footer;                 // --help's text before the service bench's part
    std::string program = "reflasher";  // as --help names the program
    // The bench's usage and the exit codes of the stop signals, in --help; empty: reflasher's
    // on Linux (device paths, POSIX signals).
    std::string benchUsage;
    std::string signalCodes;
    std::string portHelp;  // --port's line; empty: a COM port number or a device path
    // Adds the front end's own options, after --help and --version and before the bench's.
    std::function<void(CLI::App&)> addOptions;
    // Runs the wizard and returns the exit code. Empty: a program without one (the bench's
    // console program); a command line that asks for no bench mode is then a usage error.
    std::function<int(const WizardStart&)> runWizard;
};

// Parses `argv`, runs what it asks for and returns the program's exit code.
int RunCommandLine(int argc, char** argv, const FrontEnd& frontEnd);

}  // namespace service
