// reflasher: the wizard in a text terminal. Resources are compiled in, so its folder needs only
// this program, prog.exe and the firmware files. COM port n is $REFLASHER_COM<n> or /dev/ttyS<n-1>.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "source/Reflasher.h"
#include "ui/Dialog.h"
#include "ui/terminal/TerminalBackend.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
        std::fprintf(help ? stdout : stderr,
                     "usage: reflasher\n"
                     "Firmware update wizard for the receiver, in this terminal. COM port n is the device\n"
                     "named by $REFLASHER_COM<n> (e.g. REFLASHER_COM1=/dev/ttyUSB0), else /dev/ttyS<n-1>.\n"
                     "prog.exe and the firmware files must be in the folder of this program.\n");
        return help ? 0 : 2;
    }
    std::setlocale(LC_CTYPE, "");  // block characters when the terminal speaks UTF-8

    const std::string programName = ui::programNameFromPath(argc > 0 ? argv[0] : "reflasher");
    std::string error;
    std::unique_ptr<ui::terminal::TerminalBackend> terminal = ui::terminal::TerminalBackend::open(error);
    if (!terminal) {
        std::fprintf(stderr, "%s: %s\n", programName.c_str(), error.c_str());
        return 1;
    }
    try {
        WizardSurroundings surroundings;
        ui::terminal::TerminalBackend* backend = terminal.get();
        surroundings.flasher.console.open = [backend](const std::string& title, int fill) {
            backend->handOver(title, fill);
        };
        surroundings.flasher.console.close = [backend] { backend->takeBack(); };
        ReflasherApp app(*terminal, programName, std::move(surroundings));
        app.initInstance();
    } catch (const std::exception& e) {
        terminal.reset();  // the terminal must be usable before the reason is written
        std::fprintf(stderr, "%s: %s\n", programName.c_str(), e.what());
        return 1;
    }
    terminal.reset();
    return 0;
}
