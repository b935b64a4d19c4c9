// The terminal's emergency exit: a signal that ends the program (Ctrl+C, SIGTERM, a hang-up) or a
// crash may come while the user-interface thread is anywhere, so its handler only writes a
// prepared byte sequence that leaves screen mode, puts back the terminal modes found at start and
// passes the signal on. Everything here is called on the user-interface thread.
#pragma once

#include <string>

namespace ui::terminal {

// Saves the terminal's modes as found at start, before anything changes them.
void saveTerminalModes();
// Takes over the ending and crash signals, which put those modes back (a signal that whoever
// started us ignores stays ignored).
void takeTerminal();
// Gives the signals back to their previous handling.
void releaseTerminal();
// The bytes the handler writes to leave screen mode (rebuilt when the screen changes).
void setRestoreSequence(const std::string& sequence);
// The terminal hung up (a closed window, a dropped SSH connection): nobody is left to answer the
// wizard, so it ends as SIGHUP ends a program, also when whoever started it ignores SIGHUP (nohup).
// Called where the wizard waits for keys; no port is open and no flasher runs there.
[[noreturn]] void endForHangUp();
// Ctrl+C and Ctrl+\ belong to a program the terminal is lent to: ignored until reclaimed.
void lendInterruptKeys();
void reclaimInterruptKeys();

}  // namespace ui::terminal
