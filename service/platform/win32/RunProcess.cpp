// Windows: the station's runs by CreateProcessW, each in a process group of its own
// (CREATE_NEW_PROCESS_GROUP, so that Ctrl+Break can be sent to it alone), its output on an
// anonymous pipe, all of them in one job object that ends them with the station
// (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE: none outlives a station that was killed). The flasher of
// an unattended run gets a console of its own (the flasher hand-off's), so there is no console
// output to capture.
#include "service/platform/ServiceOs.h"

#include <windows.h>

#include "service/RunReport.h"
#include "source/platform/StopSignal.h"
#include "source/platform/win32/Text.h"
#include "source/platform/win32/UniqueHandle.h"

namespace service_os {
namespace {

using flasher_os::Wide;

// One argument as the C runtime's splitting takes it back whole: in double quotes, backslashes
// before a quote (and at the end) doubled, quotes escaped.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// The job every run is in; made with the first run, closed only by the station's end.
HANDLE StationJob() {
    static const UniqueHandle job = [] {
        UniqueHandle made(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made) SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return made;
    }();
    return job.get();
}

class Win32Run final : public RunProcess {
public:
    Win32Run(const PROCESS_INFORMATION& started, UniqueHandle output)
        : process_(started.hProcess), thread_(started.hThread), id_(started.dwProcessId),
          output_(std::move(output)) {}
    ~Win32Run() override {
        // Not waited for (the station failed on its way): the run is told to end and waited for.
        if (!waited_) {
            stop();
            wait();
        }
    }

    long id() const override { return static_cast<long>(id_); }
    HANDLE output() const { return output_.get(); }

    long read(char* buffer, std::size_t size) override {
        if (!output_) return 0;
        DWORD available = 0;
        if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return 0;  // ended
        if (available == 0) return -1;
        DWORD got = 0;
        if (!ReadFile(output_.get(), buffer, static_cast<DWORD>(std::min<std::size_t>(size, available)), &got, nullptr)) {
            return 0;
        }
        return static_cast<long>(got);
    }

    int wait() override {
        output_.reset();
        if (!waited_) {
            WaitForSingleObject(process_.get(), INFINITE);
            DWORD code = kExitIncomplete;
            GetExitCodeProcess(process_.get(), &code);
            exitCode_ = static_cast<int>(code);
            waited_ = true;
        }
        return exitCode_;
    }

    // Ctrl+Break to the run's own process group: its stop watch takes it as SIGTERM.
    void stop() override {
        if (!waited_) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
    }

private:
    UniqueHandle process_, thread_;
    DWORD id_;
    UniqueHandle output_;  // the run's standard output and error, read here
    bool waited_ = false;
    int exitCode_ = kExitIncomplete;
};

class NoCapture final : public FlasherCapture {};

}  // namespace

std::unique_ptr<RunProcess> StartRun(const RunCommand& command, std::string& why) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0)) {
        why = flasher_os::SystemMessage(GetLastError());
        return nullptr;
    }
    UniqueHandle output(readEnd), input(writeEnd);
    SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);  // ours only
    UniqueHandle nothing(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                     OPEN_EXISTING, 0, nullptr));

    // Only these two handles are inherited, not whatever else this process holds.
    HANDLE handles[2] = {input.get(), nothing.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        why = flasher_os::SystemMessage(GetLastError());
        return nullptr;
    }
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                              (nothing ? 2 : 1) * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nothing.get();
    startup.StartupInfo.hStdOutput = input.get();
    startup.StartupInfo.hStdError = input.get();
    startup.lpAttributeList = attributes;

    std::wstring line = Quoted(Wide(command.program));
    for (const std::string& argument : command.arguments) line += L" " + Quoted(Wide(argument));
    std::vector<wchar_t> environment = flasher_os::EnvironmentWithTemp(Wide(command.tempFolder));
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so that nothing it starts escapes it.
    const BOOL made = CreateProcessW(Wide(command.program).c_str(), line.data(), nullptr, nullptr, TRUE,
                                     CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                                         EXTENDED_STARTUPINFO_PRESENT,
                                     environment.data(), nullptr, &startup.StartupInfo, &started);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!made) {
        why = flasher_os::SystemMessage(error);
        return nullptr;
    }
    auto run = std::make_unique<Win32Run>(started, std::move(output));
    if (HANDLE job = StationJob()) AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    return run;
}

void WaitForOutput(const std::vector<RunProcess*>& runs, int ms) {
    // Anonymous pipes cannot be waited on: look every few milliseconds, and at the stop event.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(ms);
    const auto wake = reinterpret_cast<HANDLE>(stop_signal::WakeHandle());
    for (;;) {
        for (RunProcess* run : runs) {
            DWORD available = 0;
            const HANDLE pipe = static_cast<Win32Run*>(run)->output();
            if (pipe == nullptr || !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        const DWORD step = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20));
        if (wake != nullptr ? WaitForSingleObject(wake, step) == WAIT_OBJECT_0 : (Sleep(step), false)) return;
    }
}

std::unique_ptr<FlasherCapture> CaptureFlasherConsole(flasher_os::StandardStreams&, std::function<void(const char*, std::size_t)>) {
    return std::make_unique<NoCapture>();
}

}  // namespace service_os
