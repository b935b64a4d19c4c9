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
    frontEnd.description =
        "The service bench of the firmware update wizard: unattended runs, stations and the port "
        "listing, on this console.";
    return service::RunCommandLine(static_cast<int>(arguments.size()), argv.data(), frontEnd);
}
