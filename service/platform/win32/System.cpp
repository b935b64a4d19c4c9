// Windows: the station's folders (made for this user only), the console, the computer's name.
#include "service/platform/ServiceOs.h"

#include <windows.h>
#include <io.h>
#include <sddl.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // older mingw-w64 headers lack it
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "source/platform/win32/OwnerOnly.h"
#include "source/platform/win32/Text.h"
#include "source/platform/win32/UniqueHandle.h"

namespace service_os {
namespace {

using flasher_os::Utf8;
using flasher_os::Wide;

// A folder open to the current user only (no inherited entries), like the flasher's run folders.
bool MakeOwnFolder(const std::string& path, std::string& why) {
    flasher_os::OwnerOnly security;
    if (CreateDirectoryW(Wide(path).c_str(), security.Attributes())) return true;
    const DWORD error = GetLastError();
    why = flasher_os::SystemMessage(error);
    SetLastError(error);  // the caller tells a clash of names from other failures
    return false;
}

}  // namespace

std::string OwnProgram(const char* argv0) {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return argv0;
    return Utf8(path.data(), length);
}

std::string MakeStationFolder(std::string& why) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        why = "the temporary folder cannot be told";
        return {};
    }
    const std::string parent = Utf8(temp, length);  // ends with '\'
    // A fresh name: the process id and the time, tried again on a clash.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string folder =
            parent + "reflasher-station-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount64() + static_cast<ULONGLONG>(attempt));
        if (MakeOwnFolder(folder, why)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

bool MakePrivateFolder(const std::string& path, std::string& why) {
    return MakeOwnFolder(path, why);
}

void IgnoreBrokenPipe() {}

bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) !=
           FALSE;
}

bool TakesCursorMovement(std::FILE* stream) {
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

int ConsoleWidth(std::FILE* stream, int fallback) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))),
                                    &info))
        return fallback;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 20 ? width : fallback;
}

// The C runtime's copy and the system's (which CreateProcessW hands on) both.
void SetEnvironment(const std::string& name, const std::string& value) {
    _wputenv_s(Wide(name).c_str(), Wide(value).c_str());
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return {};
    return Utf8(name, length);
}

// COM ports are names, not links.
std::optional<std::string> DeviceTarget(const std::string&) {
    return std::nullopt;
}

}  // namespace service_os
