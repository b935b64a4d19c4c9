#include "tools/prog/ResultFile.h"

#include <windows.h>

#include <string>

#include "tools/prog/win32/SystemMessage.h"

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
    const bool complete = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
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
