// Windows: CreateProcess with a console of the flasher's own, waits on the process handle, a
// private folder per run, and the result file read without following links.
#include "source/platform/FlasherProcess.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace flasher_os {

const char kPathSeparator = '\\';

namespace {

// The path buffers of the flasher hand-off.
constexpr DWORD kPathBuffer = 260;
constexpr DWORD kTempPathOffered = 259;

constexpr char kConsoleTitle[] = "Installing Firmware";
constexpr WORD kConsoleFill = 112;  // 0x70: black text on light grey

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                       sizeof text, nullptr) == 0) {
        return "error " + std::to_string(error);
    }
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes `folder` (with a trailing '\') and everything in it. Links (reparse points: symbolic
// links, junctions) are removed themselves, never followed.
void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + name;
            const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (directory && !IsLink(entry.dwFileAttributes)) {
                RemoveTree(path + '\\');
                continue;
            }
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
                SetFileAttributesA(path.c_str(), entry.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            if (directory) {
                RemoveDirectoryA(path.c_str());
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

// How long a run folder's removal keeps trying while something still holds the folder: the
// console host of the flasher's console window runs in it and may outlive the flasher a little.
constexpr DWORD kRemovalPatienceMs = 2000;
constexpr DWORD kRemovalRetryMs = 20;

class Win32RunFolder final : public RunFolder {
public:
    explicit Win32RunFolder(std::string path) : path_(std::move(path)) {}
    ~Win32RunFolder() override {
        const DWORD start = GetTickCount();
        RemoveTree(path_);
        while (GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES &&
               GetTickCount() - start < kRemovalPatienceMs) {
            Sleep(kRemovalRetryMs);
            RemoveTree(path_);
        }
    }
    const std::string& Path() const override { return path_; }

private:
    std::string path_;  // with the trailing '\'
};

// The security of a run folder: this user only, nothing inherited from the temporary folder.
// Null (the folder then takes the temporary folder's, which is this user's too) when the
// user's identity cannot be read.
class OwnerOnly {
public:
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> user(size);
        char* sid = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
            const std::string sddl = std::string("D:P(A;OICI;FA;;;") + sid + ")";
            LocalFree(sid);
            ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                  nullptr);
        }
        CloseHandle(token);
    }
    ~OwnerOnly() {
        if (descriptor_ != nullptr) LocalFree(descriptor_);
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    SECURITY_ATTRIBUTES* Attributes() {
        if (descriptor_ == nullptr) return nullptr;
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return &attributes_;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

class Win32FlasherProcess final : public FlasherProcess {
public:
    explicit Win32FlasherProcess(const PROCESS_INFORMATION& started)
        : process_(started.hProcess), thread_(started.hThread) {}

    // The wizard lets go of its handles; a flasher still running keeps running.
    ~Win32FlasherProcess() override {
        CloseHandle(thread_);
        CloseHandle(process_);
    }

    bool WaitEnded(std::uint32_t ms) override { return WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }

    // No signal ever reaches this side (see WatchForStop), so there is nothing to pass on.
    void PassOn(int) override {}

private:
    HANDLE process_;
    HANDLE thread_;
};

// Windows has no ending signals: a session that ends tells the wizard's windows, which answer
// once the flasher wait is over. Nothing cuts the waits short.
class Win32StopWatch final : public StopWatch {
public:
    bool StopPending() const override { return false; }
    int TakeStopRequest() override { return 0; }
    void EndAsAsked(int) override {}
};

// The wizard's environment with TMP and TEMP set to `temporary`, as CreateProcess takes it:
// "NAME=value" strings one after the other, each ending in a NUL, then one more NUL, sorted by
// name without regard to case (the drive entries "=C:=..." first, as Windows keeps them).
std::vector<char> EnvironmentWithTemp(const std::string& temporary) {
    std::vector<std::string> entries;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
            const std::string text = entry;
            const std::string name = text.substr(0, text.find('=', 1));
            if (_stricmp(name.c_str(), "TMP") == 0 || _stricmp(name.c_str(), "TEMP") == 0) continue;
            entries.push_back(text);
        }
        FreeEnvironmentStringsA(block);
    }
    entries.push_back("TMP=" + temporary);
    entries.push_back("TEMP=" + temporary);
    std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        const std::string nameA = a.substr(0, a.find('=', 1));
        const std::string nameB = b.substr(0, b.find('=', 1));
        return _stricmp(nameA.c_str(), nameB.c_str()) < 0;
    });
    std::vector<char> block;
    for (const std::string& entry : entries) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back('\0');
    return block;
}

}  // namespace

std::string OwnFolder() {
    char path[kPathBuffer] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, kPathBuffer);
    // Nothing, or a path cut short by the buffer: the folder cannot be told.
    if (length == 0 || length >= kPathBuffer) return {};
    const std::string exe(path, length);
    const std::size_t backslash = exe.rfind('\\');
    return backslash == std::string::npos ? std::string() : exe.substr(0, backslash);
}

std::string TempFolder() {
    char path[kPathBuffer] = {};
    const DWORD length = GetTempPathA(kTempPathOffered, path);
    if (length == 0) return {};
    if (length < kTempPathOffered) return std::string(path, length);
    // Longer than the flasher's buffers allow: given whole, so that RunFlasher can say so.
    std::vector<char> longer(length + 1);
    const DWORD full = GetTempPathA(length + 1, longer.data());
    return full == 0 || full > length ? std::string() : std::string(longer.data(), full);
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
        char name[64];
        std::snprintf(name, sizeof name, "reflasher-%08lx%04x", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned>((GetTickCount() + static_cast<DWORD>(attempt) * 7919u) & 0xFFFF));
        const std::string path = tempFolder + name;
        if (CreateDirectoryA(path.c_str(), security.Attributes())) return std::make_unique<Win32RunFolder>(path + '\\');
        error = GetLastError();
    }
    reason = SystemMessage(error);
    return nullptr;
}

std::unique_ptr<StopWatch> WatchForStop() { return std::make_unique<Win32StopWatch>(); }

std::unique_ptr<FlasherProcess> StartFlasher(const std::string& programFolder,
                                             const std::string& commandLine,
                                             const std::string& runFolder,
                                             const StandardStreams&) {
    const std::size_t nameEnd = commandLine.find(' ');
    const std::string programName = commandLine.substr(0, nameEnd);
    if (programFolder.empty() || programName.empty()) return nullptr;
    // The program is named in full, so that Windows does not search for it: a missing prog.exe
    // in the wizard's folder must not be replaced by one from the current folder, the system's
    // folders or PATH. The command line still starts with its bare name.
    const std::string program = programFolder + '\\' + programName;

    // CreateProcess may write into the command line: it gets a copy of its own.
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    // The run folder is the flasher's current folder and its temporary folder (TMP, TEMP
    // without the trailing '\', as Windows keeps them; GetTempPath gives it back with one).
    std::string temporary = runFolder;
    if (temporary.size() > 3 && temporary.back() == '\\') temporary.pop_back();
    std::vector<char> environment = EnvironmentWithTemp(temporary);
    char title[sizeof kConsoleTitle];
    std::memcpy(title, kConsoleTitle, sizeof kConsoleTitle);

    // A console window of the flasher's own, titled and filled black on light grey. The
    // structure's size is that of this build: 68 bytes in a 32-bit program, 104 in a 64-bit one.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpReserved = nullptr;
    startup.lpDesktop = nullptr;
    startup.lpTitle = title;
    startup.dwFlags = STARTF_USEFILLATTRIBUTE;
    startup.dwFillAttribute = kConsoleFill;
    startup.cbReserved2 = 0;
    startup.lpReserved2 = nullptr;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                        environment.data(), runFolder.c_str(), &startup, &started)) {
        return nullptr;
    }
    return std::make_unique<Win32FlasherProcess>(started);
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

int ReadResultFile(const std::string& path, char* buffer, std::size_t size) {
    // No sharing, only if it exists; a link there is opened itself and then refused.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(file);
        return -1;
    }
    std::size_t got = 0;
    while (got < size) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + got, static_cast<DWORD>(size - got), &read, nullptr) || read == 0) break;
        got += read;
    }
    CloseHandle(file);
    return static_cast<int>(got);
}

}  // namespace flasher_os
