// fake-prog.exe: a flasher under the Windows tests' control, installed as prog.exe in a test's
// wizard folder. It does what the lines of %FLASHER_TEST_DIR%\behaviour say, in order:
//   report            writes %FLASHER_TEST_DIR%\report.txt: what it was handed and where it runs
//   leak              writes through the handle value in FLASHER_TEST_HANDLE
//   sleep <ms>        waits
//   status <text>     writes status.err in its current folder (\xNN stands for a byte)
//   mkdir <name>      makes a folder in its current folder
//   wait-release      waits until %FLASHER_TEST_DIR%\release exists (at most two minutes)
//   touch <name>      makes the empty file %FLASHER_TEST_DIR%\<name>
//   exit <code>       ends with that code
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Variable(const char* name) {
    char value[1024] = {};
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

std::string Unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bytes += static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

void Report(const std::string& folder) {
    std::ofstream out(folder + "\\report.txt", std::ios::binary);
    out << "commandline=" << GetCommandLineA() << "\n";
    for (int i = 1; i < __argc; ++i) out << "arg" << i << "=" << __argv[i] << "\n";
    char path[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, path);
    out << "cwd=" << path << "\n";
    out << "tmp=" << Variable("TMP") << "\n";
    out << "temp=" << Variable("TEMP") << "\n";
    GetTempPathA(MAX_PATH, path);
    out << "temppath=" << path << "\n";
    char title[256] = {};
    GetConsoleTitleA(title, sizeof title);
    out << "title=" << title << "\n";
    out << "console=" << (GetConsoleWindow() != nullptr ? 1 : 0) << "\n";
    DWORD attached[16];
    const DWORD count = GetConsoleProcessList(attached, 16);
    out << "consoleprocesses=";
    for (DWORD i = 0; i < count && i < 16; ++i) out << (i > 0 ? "," : "") << attached[i];
    out << "\n";
    STARTUPINFOA startup{};
    GetStartupInfoA(&startup);
    out << "startflags=" << startup.dwFlags << "\n";
    out << "fill=" << startup.dwFillAttribute << "\n";
    out << "starttitle=" << (startup.lpTitle != nullptr ? startup.lpTitle : "") << "\n";
    out << "pid=" << GetCurrentProcessId() << "\n";
}

}  // namespace

int main() {
    const std::string folder = Variable("FLASHER_TEST_DIR");
    std::ifstream behaviour(folder + "\\behaviour");
    for (std::string line; std::getline(behaviour, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t blank = line.find(' ');
        const std::string what = line.substr(0, blank);
        const std::string rest =
            blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (what == "report") {
            Report(folder);
        } else if (what == "leak") {
            // A file handle the test made inheritable: if handles were inherited, what is written
            // through its value lands in the test's file (otherwise the value names nothing, or
            // something else of this process's).
            DWORD written = 0;
            WriteFile(reinterpret_cast<HANDLE>(
                          std::strtoull(Variable("FLASHER_TEST_HANDLE").c_str(), nullptr, 10)),
                      "leaked", 6, &written, nullptr);
        } else if (what == "sleep") {
            Sleep(static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 10)));
        } else if (what == "status") {
            std::ofstream("status.err", std::ios::binary) << Unescape(rest);
        } else if (what == "mkdir") {
            CreateDirectoryA(rest.c_str(), nullptr);
        } else if (what == "wait-release") {
            for (int i = 0; i < 6000 && GetFileAttributesA((folder + "\\release").c_str()) ==
                                            INVALID_FILE_ATTRIBUTES;
                 ++i)
                Sleep(20);
        } else if (what == "touch") {
            std::ofstream(folder + "\\" + rest);
        } else if (what == "exit") {
            return std::atoi(rest.c_str());
        }
    }
    return 0;
}
