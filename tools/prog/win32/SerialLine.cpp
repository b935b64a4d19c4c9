// prog.exe's COM port on Windows: "\\.\COM<n>" opened without sharing, for plain (not
// overlapped) transfers. Reads take only the bytes that ClearCommError reports waiting, so no
// read ever waits on the driver's time-outs (Wine 8 would hold a read of an empty line); a read
// that has to wait looks at the input count again every millisecond or so.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tools/prog/SerialLine.h"
#include "tools/prog/win32/SystemMessage.h"

namespace {

HANDLE Handle(std::intptr_t line) {
    return reinterpret_cast<HANDLE>(line);
}

}  // namespace

SerialLine::~SerialLine() {
    if (line_ != -1) CloseHandle(Handle(line_));
}

std::string SerialLine::DevicePath(int port) {
    return "\\\\.\\COM" + std::to_string(port);
}

bool SerialLine::Open(int port, std::uint32_t baud, std::string& error) {
    const std::string path = DevicePath(port);
    HANDLE line = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (line == INVALID_HANDLE_VALUE) {
        const DWORD reason = GetLastError();
        error = reason == ERROR_ACCESS_DENIED
                    ? path + " is in use by another program"
                    : "cannot open " + path + ": " + SystemMessage(reason);
        return false;
    }
    line_ = reinterpret_cast<std::intptr_t>(line);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(line, &dcb)) {
        error = path + " is not a serial port: " + SystemMessage(GetLastError());
        return false;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    if (!SetCommState(line, &dcb)) {
        error = path + " does not take " + std::to_string(baud) + " baud";
        return false;
    }
    // Reads return at once with what is there (only waiting bytes are ever asked for); a write
    // may take 10 ms a byte plus a second.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 10, 1000};
    if (!SetCommTimeouts(line, &timeouts)) {
        error = path + " refuses its time-outs: " + SystemMessage(GetLastError());
        return false;
    }
    PurgeComm(line, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

bool SerialLine::SetSpeed(std::uint32_t baud) {
    HANDLE line = Handle(line_);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    FlushFileBuffers(line);  // everything written goes out at the old speed
    if (!GetCommState(line, &dcb)) return false;
    dcb.BaudRate = baud;
    return SetCommState(line, &dcb) != 0;
}

bool SerialLine::Write(const std::uint8_t* bytes, std::size_t length) {
    DWORD written = 0;
    return WriteFile(Handle(line_), bytes, static_cast<DWORD>(length), &written, nullptr) &&
           written == length;
}

int SerialLine::Read(std::uint8_t* buffer, std::size_t capacity, int ms) {
    HANDLE line = Handle(line_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(line, &errors, &status)) return -1;
        if (status.cbInQue > 0) {
            DWORD got = 0;
            const DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(capacity));
            if (!ReadFile(line, buffer, wanted, &got, nullptr)) return -1;
            return static_cast<int>(got);
        }
        if (std::chrono::steady_clock::now() >= deadline) return 0;
        Sleep(1);
    }
}

void SerialLine::DiscardInput() {
    PurgeComm(Handle(line_), PURGE_RXCLEAR);
}
