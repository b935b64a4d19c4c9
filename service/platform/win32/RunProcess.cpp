// Windows: the station's runs by CreateProcessW, each in a process group of its own
// (CREATE_NEW_PROCESS_GROUP, so that Ctrl+Break can be sent to it alone), its output on an
// anonymous pipe, all of them in one job object that ends them with the station
// (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE: none outlives a station that was killed, flashers
// included: a station that is asked to stop tells each run, which tells its flasher and waits for
// it; only a station killed outright takes its flashers with it, and those receivers need the
// Restore road). The flasher of an unattended run writes into a pipe that a thread of ours reads,
// as on POSIX.
#include "service/platform/ServiceOs.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "service/RunReport.h"
#include "source/platform/FlasherProcess.h"
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
        if (made)
            SetInformationJobObject(made.get(), JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
        return made;
    }();
    return job.get();
}

class Win32Run final : public RunProcess {
  public:
    Win32Run(const PROCESS_INFORMATION& started, UniqueHandle output, UniqueHandle stopEvent)
        : process_(started.hProcess),
          thread_(started.hThread),
          id_(started.dwProcessId),
          output_(std::move(output)),
          stopEvent_(std::move(stopEvent)) {}
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
        if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr))
            return 0;  // ended
        if (available == 0) return -1;
        DWORD got = 0;
        if (!ReadFile(output_.get(), buffer,
                      static_cast<DWORD>(std::min<std::size_t>(size, available)), &got, nullptr)) {
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
        if (waited_) return;
        if (stopEvent_) SetEvent(stopEvent_.get());
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_);
    }

  private:
    UniqueHandle process_, thread_;
    DWORD id_;
    UniqueHandle output_;     // the run's standard output and error, read here
    UniqueHandle stopEvent_;  // set to tell the run to stop (it waits for it, see StopSignal)
    bool waited_ = false;
    int exitCode_ = kExitIncomplete;
};

// The flasher's output pipe, read by a thread of ours; the flasher gets the write end and NUL
// through C runtime descriptors (the portable StandardStreams), which own the handles.
class PipeCapture final : public FlasherCapture {
  public:
    PipeCapture(UniqueHandle read, int write, int nothing,
                std::function<void(const char*, std::size_t)> take)
        : read_(std::move(read)), write_(write), nothing_(nothing), take_(std::move(take)) {
        thread_ = std::thread([this] { run(); });
    }
    ~PipeCapture() override {
        stop_ = true;
        thread_.join();
        _close(write_);
        if (nothing_ >= 0) _close(nothing_);
    }

  private:
    void run() {
        char buffer[1024];
        // Told to stop, it still takes what the pipe holds: a flasher's last words come just
        // before its end. (We hold a write end ourselves, so an empty pipe never reads as ended;
        // anonymous pipes cannot be waited on, hence the look every few milliseconds.)
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_.get(), nullptr, 0, nullptr, &available, nullptr)) break;
            if (available == 0) {
                if (stop_) break;
                Sleep(20);
                continue;
            }
            DWORD got = 0;
            if (!ReadFile(read_.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                          nullptr))
                break;
            take_(buffer, got);
        }
    }

    UniqueHandle read_;
    int write_, nothing_;
    std::function<void(const char*, std::size_t)> take_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
    UniqueHandle nothing(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherited, OPEN_EXISTING, 0, nullptr));

    UniqueHandle stopEvent(CreateEventW(&inherited, TRUE, FALSE, nullptr));
    // Only these handles are inherited, not whatever else this process holds.
    HANDLE handles[3] = {input.get(), nothing.get(), stopEvent.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        why = flasher_os::SystemMessage(GetLastError());
        return nullptr;
    }
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                              (nothing && stopEvent ? 3 : 1) * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nothing.get();
    startup.StartupInfo.hStdOutput = input.get();
    startup.StartupInfo.hStdError = input.get();
    startup.lpAttributeList = attributes;

    std::wstring line = Quoted(Wide(command.program));
    for (const std::string& argument : command.arguments) line += L" " + Quoted(Wide(argument));
    // The stop event's handle value, for the run's stop watch; set only while the environment is
    // made.
    SetEnvironmentVariableW(
        stop_signal::kStationStopVariable,
        std::to_wstring(reinterpret_cast<std::uintptr_t>(stopEvent.get())).c_str());
    std::vector<wchar_t> environment = flasher_os::EnvironmentWithTemp(Wide(command.tempFolder));
    SetEnvironmentVariableW(stop_signal::kStationStopVariable, nullptr);
    PROCESS_INFORMATION started{};
    // Suspended until it is in the job, so that nothing it starts escapes it.
    const BOOL made =
        CreateProcessW(Wide(command.program).c_str(), line.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                           EXTENDED_STARTUPINFO_PRESENT,
                       environment.data(), nullptr, &startup.StartupInfo, &started);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!made) {
        why = flasher_os::SystemMessage(error);
        return nullptr;
    }
    auto run = std::make_unique<Win32Run>(started, std::move(output), std::move(stopEvent));
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
            if (pipe == nullptr || !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ||
                available > 0)
                return;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        const DWORD step = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20));
        if (wake != nullptr ? WaitForSingleObject(wake, step) == WAIT_OBJECT_0
                            : (Sleep(step), false))
            return;
    }
}

std::unique_ptr<FlasherCapture> CaptureFlasherConsole(
    flasher_os::StandardStreams& console, std::function<void(const char*, std::size_t)> take) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return nullptr;
    UniqueHandle read(readEnd);
    const HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    const int write = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY);
    const int none = nothing == INVALID_HANDLE_VALUE
                         ? -1
                         : _open_osfhandle(reinterpret_cast<intptr_t>(nothing), _O_RDONLY);
    if (write < 0) {
        CloseHandle(writeEnd);
        if (none >= 0) _close(none);
        return nullptr;
    }
    // No terminal: the flasher reads nothing and writes to the capture.
    console.input = none;
    console.output = write;
    console.error = write;
    return std::make_unique<PipeCapture>(std::move(read), write, none, std::move(take));
}

}  // namespace service_os
