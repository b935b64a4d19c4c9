// The system's text for a Win32 error code, without its line end; "error N" when it has none.
#pragma once

#include <windows.h>

#include <string>

inline std::string SystemMessage(DWORD error) {
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text, nullptr) == 0) {
        return "error " + std::to_string(error);
    }
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message;
}
