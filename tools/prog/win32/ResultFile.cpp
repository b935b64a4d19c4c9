#include "tools/prog/ResultFile.h"

#include <windows.h>

#include <cerrno>
#include <string>

#include "tools/prog/win32/SystemMessage.h"

// The C runtime's own split of the UTF-16 command line (msvcrt, which the program loads anyway;
// CommandLineToArgvW would load shell32, and with it the start-up time a missing firmware file
// must stay within).
struct CrtStartupInfo {
    int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, CrtStartupInfo* startup);

namespace {

std::wstring Wide(const std::string& utf8) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), size);
    wide.pop_back();
    return wide;
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    CrtStartupInfo startup{0};
    if (__wgetmainargs(&count, &wide, &environment, 0, &startup) < 0 || wide == nullptr)
        return {argv, argv + argc};
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(Utf8(wide[i]));
    return arguments;
}

std::FILE* OpenForReading(const std::string& path) {
    std::FILE* file = _wfopen(Wide(path).c_str(), L"rb");
    if (file == nullptr && errno == 0) errno = ENOENT;
    return file;
}

bool WriteResultFile(const std::string& text, std::string& error) {
    // A name of this process's own; CREATE_NEW refuses anything that is already there.
    const std::string temporary = "status.err." + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemMessage(GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool complete =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    const DWORD writeError = GetLastError();
    CloseHandle(file);
    if (!complete || !MoveFileExA(temporary.c_str(), "status.err", MOVEFILE_REPLACE_EXISTING)) {
        error = SystemMessage(complete ? GetLastError() : writeError);
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}
