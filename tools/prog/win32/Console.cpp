// The keyboard on Windows: the console's control events, and console input without line
// buffering or echo (Ctrl+C still reaches the control handler). When standard input is a pipe
// or a file, its bytes are the keys.
#include <windows.h>

#include "tools/prog/Console.h"

namespace {

volatile LONG gStopRequests = 0;  // Ctrl+C: the operator's
// Ctrl+Break (what the wizard's bench sends a flasher it must stop, as SIGTERM on POSIX), the
// console closing, the session ending: stop at once.
volatile LONG gTerminated = 0;

// How long a closing console waits for prog.exe to write status.err; Windows ends the process
// when the handler returns, and anyway after a few seconds.
constexpr DWORD kClosingGraceMs = 3000;

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            InterlockedIncrement(&gStopRequests);
            return TRUE;
        case CTRL_BREAK_EVENT:
            InterlockedExchange(&gTerminated, 1);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            InterlockedExchange(&gTerminated, 1);
            Sleep(kClosingGraceMs);
            return TRUE;
        default:
            return FALSE;
    }
}

constexpr unsigned char kEscape = 0x1B;

}  // namespace

struct Keyboard::Saved {
    HANDLE input;
    DWORD mode;
};

Keyboard::Keyboard() {
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
        const DWORD keys = (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                           ENABLE_PROCESSED_INPUT;
        if (SetConsoleMode(input, keys)) saved_.reset(new Saved{input, mode});
    }
}

Keyboard::~Keyboard() {
    if (saved_) SetConsoleMode(saved_->input, saved_->mode);
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
}

int Keyboard::StopRequests() const {
    return static_cast<int>(gStopRequests);
}

bool Keyboard::Terminated() const {
    return gTerminated != 0;
}

int Keyboard::ReadKeys(unsigned char* keys, int capacity) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return -1;
    if (saved_) {
        // Key presses waiting in the console; other input events are passed over.
        int count = 0;
        DWORD waiting = 0;
        while (count < capacity && GetNumberOfConsoleInputEvents(input, &waiting) && waiting > 0) {
            INPUT_RECORD record;
            DWORD got = 0;
            if (!ReadConsoleInputA(input, &record, 1, &got) || got == 0) break;
            if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
            const auto key = static_cast<unsigned char>(record.Event.KeyEvent.uChar.AsciiChar);
            if (record.Event.KeyEvent.wVirtualKeyCode == VK_ESCAPE) {
                keys[count++] = kEscape;
            } else if (key != 0) {
                keys[count++] = key;
            }
        }
        return count;
    }
    // A pipe: only what is there now, so that the flash never waits for the operator. A file:
    // what is left in it.
    DWORD available = static_cast<DWORD>(capacity);
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
            return -1;  // writer gone
        if (available == 0) return 0;
    }
    DWORD got = 0;
    const DWORD wanted =
        available < static_cast<DWORD>(capacity) ? available : static_cast<DWORD>(capacity);
    if (!ReadFile(input, keys, wanted, &got, nullptr) || got == 0) return -1;
    return static_cast<int>(got);
}

void SayBeforeQuickEnd(const std::string& text) {
    if (GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR) return;  // a console window
    std::fprintf(stderr, "%s\n", text.c_str());
}
