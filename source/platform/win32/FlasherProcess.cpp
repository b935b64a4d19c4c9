// Windows: CreateProcess with a console of the flasher's own, waits on the process handle, a
// private folder per run, and the result file read without following links.
//
// Paths and the environment are UTF-8 on the portable side and go to the system through its
// wide-character calls only: a folder named outside the ANSI code page (C:\中文, a user profile
// with an emoji) must reach the flasher unchanged, never as the '?' of a lossy conversion.
#include "source/platform/FlasherProcess.h"

#include <windows.h>
#include <sddl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "source/platform/StopSignal.h"
#include "source/platform/win32/OwnerOnly.h"
#include "source/platform/win32/Text.h"
#include "source/platform/win32/UniqueHandle.h"

namespace flasher_os {

const char kPathSeparator = '\\';

namespace {

// The longest path the wide-character calls can give back. (RunFlasher keeps every path the
// flasher sees within MAX_PATH; these are read whole so that it can say so.)
constexpr DWORD kLongestPath = 32768;

constexpr wchar_t kConsoleTitle[] = L"Installing Firmware";
constexpr WORD kConsoleFill = 112;  // 0x70: black text on light grey

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes `folder` (with a trailing '\') and everything in it. Links (reparse points: symbolic
// links, junctions) are removed themselves, never followed.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + name;
            const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (directory && !IsLink(entry.dwFileAttributes)) {
                RemoveTree(path + L'\\');
                continue;
            }
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
                SetFileAttributesW(path.c_str(), entry.dwFileAttributes &
                                                     ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            if (directory) {
                RemoveDirectoryW(path.c_str());
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// How long a run folder's removal keeps trying while something still holds the folder: the
// console host of the flasher's console window runs in it and may outlive the flasher a little.
constexpr DWORD kRemovalPatienceMs = 2000;
constexpr DWORD kRemovalRetryMs = 20;

class Win32RunFolder final : public RunFolder {
  public:
    explicit Win32RunFolder(std::string path) : path_(std::move(path)), widePath_(Wide(path_)) {}
    ~Win32RunFolder() override {
        const DWORD start = GetTickCount();
        RemoveTree(widePath_);
        while (GetFileAttributesW(widePath_.c_str()) != INVALID_FILE_ATTRIBUTES &&
               GetTickCount() - start < kRemovalPatienceMs) {
            Sleep(kRemovalRetryMs);
            RemoveTree(widePath_);
        }
    }
    const std::string& Path() const override { return path_; }

  private:
    std::string path_;  // with the trailing '\'
    std::wstring widePath_;
};

class Win32FlasherProcess final : public FlasherProcess {
  public:
    Win32FlasherProcess(const PROCESS_INFORMATION& started, bool ownConsole)
        : process_(started.hProcess),
          thread_(started.hThread),
          id_(started.dwProcessId),
          ownConsole_(ownConsole) {}

    // The wizard lets go of its handles (UniqueHandle); a flasher still running keeps running.

    bool WaitEnded(std::uint32_t ms) override {
        const ULONGLONG deadline = GetTickCount64() + ms;
        for (;;) {
            if (WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0) return true;
            const ULONGLONG now = GetTickCount64();
            // Emptied before the look, so that a stop noted after it still ends the wait; a wake
            // for a stop another watch took is not ours to wait on.
            stop_signal::DrainWake();
            if (now >= deadline || StopNoted()) return false;
            const HANDLE waits[2] = {process_.get(),
                                     reinterpret_cast<HANDLE>(stop_signal::WakeHandle())};
            const DWORD result = WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE,
                                                        static_cast<DWORD>(deadline - now));
            if (result == WAIT_FAILED) return false;
        }
    }

    long Id() const override { return static_cast<long>(id_); }

    // A flasher on our console, in a process group of its own, is told with Ctrl+Break (prog.exe
    // takes it as the operator's Ctrl+C). One with a console of its own (the wizard's window)
    // cannot be reached: Windows has no signal to send it.
    void PassOn(int) override {
        if (!ownConsole_) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
    }

  private:
    UniqueHandle process_;
    UniqueHandle thread_;
    DWORD id_;
    bool ownConsole_;
};

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string Utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), size, nullptr,
                        nullptr);
    return utf8;
}

std::string SystemMessage(DWORD error) {
    wchar_t text[256] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof text / sizeof text[0], nullptr) == 0) {
        return "error " + std::to_string(error);
    }
    std::string message = Utf8(text, wcslen(text));
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

std::vector<wchar_t> EnvironmentWithTemp(const std::wstring& temporary) {
    auto nameOf = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); };
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring text = entry;
            const std::wstring name = nameOf(text);
            if (_wcsicmp(name.c_str(), L"TMP") == 0 || _wcsicmp(name.c_str(), L"TEMP") == 0)
                continue;
            entries.push_back(text);
        }
        FreeEnvironmentStringsW(block);
    }
    entries.push_back(L"TMP=" + temporary);
    entries.push_back(L"TEMP=" + temporary);
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const std::wstring& a, const std::wstring& b) {
                         return _wcsicmp(nameOf(a).c_str(), nameOf(b).c_str()) < 0;
                     });
    std::vector<wchar_t> block;
    for (const std::wstring& entry : entries)
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

std::string OwnFolder() {
    std::vector<wchar_t> path(kLongestPath, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), kLongestPath);
    // Nothing, or a path cut short by the buffer: the folder cannot be told.
    if (length == 0 || length >= kLongestPath) return {};
    const std::wstring exe(path.data(), length);
    const std::size_t backslash = exe.rfind(L'\\');
    return backslash == std::wstring::npos ? std::string() : Utf8(exe.data(), backslash);
}

std::string TempFolder() {
    // Whole, however long: RunFlasher checks what the flasher will make of it.
    std::vector<wchar_t> path(kLongestPath, L'\0');
    const DWORD length = GetTempPathW(kLongestPath, path.data());
    if (length == 0 || length >= kLongestPath) return {};
    return Utf8(path.data(), length);
}

std::size_t PathLength(const std::string& path) {
    return Wide(path).size();
}

std::unique_ptr<RunFolder> MakeRunFolder(const std::string& tempFolder, std::string& reason) {
    if (tempFolder.empty() || tempFolder.back() != '\\') {
        reason = "there is no temporary folder";
        return nullptr;
    }
    OwnerOnly security;
    // A name nobody else holds: CreateDirectory refuses one that exists, so try a few.
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        char name[32];
        std::snprintf(
            name, sizeof name, "reflasher-%08lx%04x",
            static_cast<unsigned long>(GetCurrentProcessId()),
            static_cast<unsigned>((GetTickCount() + static_cast<DWORD>(attempt) * 7919u) & 0xFFFF));
        const std::string path = tempFolder + name;
        if (CreateDirectoryW(Wide(path).c_str(), security.Attributes()))
            return std::make_unique<Win32RunFolder>(path + '\\');
        error = GetLastError();
    }
    reason = SystemMessage(error);
    return nullptr;
}

std::unique_ptr<FlasherProcess> StartFlasher(const std::string& programFolder,
                                             const std::string& commandLine,
                                             const std::string& runFolder,
                                             const StandardStreams& streams) {
    const std::size_t nameEnd = commandLine.find(' ');
    const std::string programName = commandLine.substr(0, nameEnd);
    if (programFolder.empty() || programName.empty()) return nullptr;
    // The program is named in full, so that Windows does not search for it: a missing prog.exe
    // in the wizard's folder must not be replaced by one from the current folder, the system's
    // folders or PATH. The command line still starts with its bare name.
    const std::string program = programFolder + '\\' + programName;

    // CreateProcessW may write into the command line: it gets a copy of its own.
    std::wstring line = Wide(commandLine);
    line.push_back(L'\0');
    // The run folder is the flasher's current folder and its temporary folder (TMP, TEMP
    // without the trailing '\', as Windows keeps them; GetTempPath gives it back with one).
    std::wstring temporary = Wide(runFolder);
    if (temporary.size() > 3 && temporary.back() == L'\\') temporary.pop_back();
    std::vector<wchar_t> environment = EnvironmentWithTemp(temporary);
    wchar_t title[sizeof kConsoleTitle / sizeof kConsoleTitle[0]];
    std::memcpy(title, kConsoleTitle, sizeof kConsoleTitle);

    // Given standard streams (the service bench's capture), the flasher shares our console in a
    // process group of its own and inherits those streams and nothing else. Otherwise a console
    // window of the flasher's own, titled and filled black on light grey.
    const bool ownConsole = streams.output < 0;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    std::vector<unsigned char> storage;
    auto* attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(nullptr);
    HANDLE handles[3] = {};
    DWORD handleCount = 0;
    if (ownConsole) {
        startup.StartupInfo.lpTitle = title;
        startup.StartupInfo.dwFlags = STARTF_USEFILLATTRIBUTE;
        startup.StartupInfo.dwFillAttribute = kConsoleFill;
        flags |= CREATE_NEW_CONSOLE;
    } else {
        auto handleOf = [](int descriptor) {
            return descriptor < 0 ? INVALID_HANDLE_VALUE
                                  : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
        };
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = handleOf(streams.input);
        startup.StartupInfo.hStdOutput = handleOf(streams.output);
        startup.StartupInfo.hStdError = handleOf(streams.error);
        for (HANDLE h : {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput,
                         startup.StartupInfo.hStdError}) {
            if (h == INVALID_HANDLE_VALUE ||
                std::find(handles, handles + handleCount, h) != handles + handleCount)
                continue;
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            handles[handleCount++] = h;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return nullptr;
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                  handleCount * sizeof(HANDLE), nullptr, nullptr);
        startup.lpAttributeList = attributes;
        flags |= CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION started{};
    const BOOL made =
        CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, !ownConsole, flags,
                       environment.data(), Wide(runFolder).c_str(), &startup.StartupInfo, &started);
    if (attributes != nullptr) DeleteProcThreadAttributeList(attributes);
    // Inherited by this flasher only: the next process we start must not get them.
    for (DWORD i = 0; i < handleCount; ++i)
        SetHandleInformation(handles[i], HANDLE_FLAG_INHERIT, 0);
    if (!made) return nullptr;
    return std::make_unique<Win32FlasherProcess>(started, ownConsole);
}

void RemoveFile(const std::string& path) {
    DeleteFileW(Wide(path).c_str());
}

int ReadResultFile(const std::string& path, char* buffer, std::size_t size) {
    // No sharing, only if it exists; a link there is opened itself and then refused.
    const UniqueHandle opened(
        CreateFileW(Wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) return -1;
    const HANDLE file = opened.get();
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return -1;
    }
    std::size_t got = 0;
    while (got < size) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + got, static_cast<DWORD>(size - got), &read, nullptr) ||
            read == 0)
            break;
        got += read;
    }
    return static_cast<int>(got);
}

}  // namespace flasher_os
