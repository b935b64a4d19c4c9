// reflasher-cli.exe: the service bench on Windows, a console program beside Reflasher.exe (a GUI
// program cannot write to the console it was started from reliably). The same command line as
// reflasher's on Linux, without the wizard, which is Reflasher.exe's.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "service/CommandLine.h"
#include "source/platform/win32/Text.h"

int main() {
    // The arguments as the system has them (UTF-16), in UTF-8 like every path of the portable side.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(flasher_os::Utf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    SetConsoleOutputCP(CP_UTF8);  // events and records are UTF-8

    service::FrontEnd frontEnd;
    frontEnd.program = "reflasher-cli";
    frontEnd.benchUsage =
        R"(Service bench (nothing asked; Ctrl+C, Ctrl+Break or closing the console stops it):
  reflasher-cli --unattended --port N|COMn [--restore white|grey] [--no-confirm] [--json]
                [--record FILE] [--operator NAME] [--batch ID] [--force]
      one update (or restore) under an operator policy: Next, the port, Next, Update when the
      page enables it (or Restore with the design), OK on every message box, No at the end;
      then the receiver is identified again and must run the new version (--confirm). A
      receiver that runs the target version already is left alone (outcome current), unless
      --force.
  reflasher-cli station --ports 1,COM2,... [--record FILE] [--restore white|grey] [--no-confirm]
                [--operator NAME] [--batch ID] [--force]
      one unattended run per port at once, a live table on a console (JSON lines otherwise);
      with --restore, a port whose receiver does not answer is restored with that design.
  reflasher-cli --list-ports [--json]
      the COM ports Windows knows, with Device Manager's name for each where it has one, and
      whether this user can open it.)";
    frontEnd.portHelp = "The COM port by its number (1 to 4), or as COM1 ... COM4";
    frontEnd.signalCodes = R"(  130  stopped by Ctrl+C (recorded as interrupted)
  143  stopped by Ctrl+Break or by closing the console window (recorded as interrupted))";
    frontEnd.description =
        "The service bench of the firmware update wizard: unattended runs, stations and the port "
        "listing, on this console.";
    return service::RunCommandLine(static_cast<int>(arguments.size()), argv.data(), frontEnd);
}
