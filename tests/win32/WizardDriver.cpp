#include "tests/win32/WizardDriver.h"

#include <tlhelp32.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace driver {

namespace {

constexpr UINT kSendPatienceMs = 20000;
constexpr auto kPoll = std::chrono::milliseconds(50);

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

// The program's visible top-level windows of class #32770, topmost first.
std::vector<HWND> Dialogs(DWORD processId) {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } search{processId, {}};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            if (pid == s.pid && IsWindowVisible(hwnd) && ClassOf(hwnd) == "#32770")
                s.found.push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(
        parent,
        [](HWND hwnd, LPARAM param) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size() + 1, L'\0');
    const int got =
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), int(wide.size()));
    wide.resize(std::size_t(got > 0 ? got - 1 : 0));
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    std::string utf8(wide.size() * 4 + 1, '\0');
    const int got = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), int(utf8.size()),
                                        nullptr, nullptr);
    utf8.resize(std::size_t(got > 0 ? got - 1 : 0));
    return utf8;
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_NORMAL, kSendPatienceMs, &result))
        return 0;
    return LRESULT(result);
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, Patience patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

Wizard::Wizard(const std::string& program, const std::string& arguments,
               const std::string& tempFolder) {
    std::wstring line = Wide("\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments));
    line.push_back(L'\0');
    const std::wstring folder = Wide(program.substr(0, program.rfind('\\')));

    // The driver's environment, with TMP and TEMP replaced.
    std::vector<wchar_t> environment;
    if (!tempFolder.empty()) {
        if (wchar_t* block = GetEnvironmentStringsW()) {
            for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
                if (_wcsnicmp(entry, L"TMP=", 4) == 0 || _wcsnicmp(entry, L"TEMP=", 5) == 0)
                    continue;
                environment.insert(environment.end(), entry, entry + wcslen(entry) + 1);
            }
            FreeEnvironmentStringsW(block);
        }
        for (const std::wstring& entry : {L"TMP=" + Wide(tempFolder), L"TEMP=" + Wide(tempFolder)})
            environment.insert(environment.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        environment.push_back(L'\0');
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(Wide(program).c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environment.data(), folder.c_str(),
                        &startup, &process_)) {
        process_ = {};
    }
}

Wizard::~Wizard() {
    if (!Started()) return;
    if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_.hProcess, 99);
        WaitForSingleObject(process_.hProcess, 30000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

HWND Wizard::Page(const std::string& title, Patience patience) const {
    HWND page = nullptr;
    WaitFor(
        [&] {
            for (HWND hwnd : Dialogs(process_.dwProcessId)) {
                if (IsWindowEnabled(hwnd) && Text(hwnd) == title) {
                    page = hwnd;
                    return true;
                }
            }
            return false;
        },
        patience);
    return page;
}

std::optional<MessageBoxSeen> Wizard::Box(const std::string& caption, Patience patience) const {
    std::optional<MessageBoxSeen> seen;
    WaitFor(
        [&] {
            for (HWND hwnd : Dialogs(process_.dwProcessId)) {
                if (Text(hwnd) != caption) continue;
                MessageBoxSeen box;
                box.hwnd = hwnd;
                box.owner = GetWindow(hwnd, GW_OWNER);
                box.caption = caption;
                int buttons = 0;
                for (HWND child : Children(hwnd)) {
                    const std::string cls = ClassOf(child);
                    const LONG style = GetWindowLongA(child, GWL_STYLE);
                    if (cls == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
                        box.icon = box.icon || IsWindowVisible(child);
                    } else if (cls == "Static") {
                        const std::string text = Text(child);
                        if (text.size() > box.text.size()) box.text = text;
                    } else if (cls == "Button" && IsWindowVisible(child)) {
                        ++buttons;
                        box.ok = box.ok || GetDlgCtrlID(child) == IDOK;
                    }
                }
                box.ok = box.ok && buttons == 1;
                if (box.text.empty()) return false;  // still being made
                seen = box;
                return true;
            }
            return false;
        },
        patience);
    return seen;
}

std::vector<std::string> Wizard::VisibleWindows() const {
    std::vector<std::string> titles;
    for (HWND hwnd : Dialogs(process_.dwProcessId)) titles.push_back(Text(hwnd));
    return titles;
}

bool Wizard::Shows(const std::string& title) const {
    const std::vector<std::string> titles = VisibleWindows();
    return std::find(titles.begin(), titles.end(), title) != titles.end();
}

void Wizard::Answer(const MessageBoxSeen& box) const {
    PostMessageA(GetDlgItem(box.hwnd, IDOK), BM_CLICK, 0, 0);
}

void Wizard::Click(HWND page, int id) const {
    PostMessageA(GetDlgItem(page, id), BM_CLICK, 0, 0);
}

void Wizard::Select(HWND page, int id, int index) const {
    HWND list = GetDlgItem(page, id);
    Send(list, CB_SETCURSEL, WPARAM(index), 0);
    PostMessageA(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

bool Wizard::Settled(HWND page) const {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(page, WM_NULL, 0, 0, SMTO_NORMAL, kSendPatienceMs, &result) != 0;
}

HWND Wizard::Focus(HWND page) const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(page, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void Wizard::Key(HWND page, UINT virtualKey) const {
    Settled(page);
    HWND target = Focus(page);
    if (!target) target = page;
    PostMessageA(target, WM_KEYDOWN, virtualKey, 1);
    PostMessageA(target, WM_KEYUP, virtualKey, LPARAM(0xC0000001));
}

void Wizard::AltKey(HWND page, char letter) const {
    Settled(page);
    HWND target = Focus(page);
    if (!target) target = page;
    // What the keyboard sends for Alt+letter: a system character with the Alt bit.
    PostMessageA(target, WM_SYSCHAR, WPARAM(static_cast<unsigned char>(letter)),
                 LPARAM(0x20000001));
}

void Wizard::WindowMenu(HWND page, UINT command) const {
    PostMessageA(page, WM_SYSCOMMAND, command, 0);
}

std::optional<DWORD> Wizard::Ended(Patience patience) const {
    if (!Started() ||
        WaitForSingleObject(process_.hProcess, DWORD(patience.count())) != WAIT_OBJECT_0)
        return {};
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

std::string Text(HWND window) {
    const LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(std::size_t(length) + 1, '\0');
    const LRESULT got =
        Send(window, WM_GETTEXT, WPARAM(text.size()), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::size_t(std::max<LRESULT>(got, 0)));
    return text;
}

std::string Text(HWND page, int id) {
    return Text(GetDlgItem(page, id));
}

bool Enabled(HWND page, int id) {
    return IsWindowEnabled(GetDlgItem(page, id)) != FALSE;
}

bool Visible(HWND page, int id) {
    return IsWindowVisible(GetDlgItem(page, id)) != FALSE;
}

bool Checked(HWND page, int id) {
    return Send(GetDlgItem(page, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int Selection(HWND page, int id) {
    return int(Send(GetDlgItem(page, id), CB_GETCURSEL, 0, 0));
}

std::vector<std::string> Items(HWND page, int id) {
    HWND list = GetDlgItem(page, id);
    std::vector<std::string> items;
    const LRESULT count = Send(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        // In UTF-16: Wine hands another process's list texts over as such whatever was asked.
        const LRESULT length = Send(list, CB_GETLBTEXTLEN, WPARAM(i), 0);
        std::wstring item(std::size_t(std::max<LRESULT>(length, 0)) + 1, L'\0');
        DWORD_PTR got = 0;
        if (!SendMessageTimeoutW(list, CB_GETLBTEXT, WPARAM(i),
                                 reinterpret_cast<LPARAM>(item.data()), SMTO_NORMAL,
                                 kSendPatienceMs, &got)) {
            got = 0;
        }
        item.resize(std::min<std::size_t>(std::size_t(LRESULT(got) < 0 ? 0 : got), item.size()));
        items.emplace_back(item.begin(), item.end());  // the wizard's texts are ASCII
    }
    return items;
}

SIZE PictureSize(HWND page, int id) {
    RECT r{};
    GetWindowRect(GetDlgItem(page, id), &r);
    return {r.right - r.left, r.bottom - r.top};
}

std::string OwnFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::string folder = Utf8(path);
    return folder.substr(0, folder.rfind('\\'));
}

std::string FreshFolder(const std::string& name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::string folder = Utf8(temp) + name + "-" + std::to_string(GetCurrentProcessId());
    RemoveTree(folder);
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    return folder;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(Wide(folder + "\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = Utf8(entry.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

void RemoveTree(const std::string& folder) {
    for (const std::string& name : Entries(folder)) {
        const std::wstring path = Wide(folder + "\\" + name);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            RemoveTree(folder + "\\" + name);
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(Wide(folder).c_str());
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Copy(const std::string& from, const std::string& to) {
    return CopyFileW(Wide(from).c_str(), Wide(to).c_str(), FALSE) != FALSE;
}

int ProcessesNamed(const std::string& imageName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, imageName.c_str()) == 0) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool CaptureWindow(HWND window, const std::string& pngPath) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return false;
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, old);
    // Top-down 32-bit rows for the encoder.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<BYTE> pixels(std::size_t(width) * std::size_t(height) * 4);
    const int rows =
        GetDIBits(memory, bitmap, 0, UINT(height), pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height) return false;
    // The same pixels without their unused fourth byte: 24-bit BGR.
    std::vector<BYTE> bgr;
    bgr.reserve(std::size_t(width) * std::size_t(height) * 3);
    for (std::size_t i = 0; i < pixels.size(); i += 4)
        bgr.insert(bgr.end(), pixels.begin() + long(i), pixels.begin() + long(i) + 3);

    // PNG through the Windows Imaging Component.
    bool written = false;
    const bool comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    std::wstring path(pngPath.begin(), pngPath.end());
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) &&
        SUCCEEDED(factory->CreateStream(&stream)) &&
        SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
        SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
        SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
        SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
        SUCCEEDED(frame->Initialize(nullptr)) &&
        SUCCEEDED(frame->SetSize(UINT(width), UINT(height))) &&
        SUCCEEDED(frame->SetPixelFormat(&format)) &&
        IsEqualGUID(format, GUID_WICPixelFormat24bppBGR) &&
        SUCCEEDED(
            frame->WritePixels(UINT(height), UINT(width) * 3, UINT(bgr.size()), bgr.data())) &&
        SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit())) {
        written = true;
    }
    if (frame) frame->Release();
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    if (factory) factory->Release();
    if (comStarted) CoUninitialize();
    return written;
}

}  // namespace driver
