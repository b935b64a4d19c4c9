// The native Windows back end: pages as real dialogs, the message pump, the system's message
// boxes.
#include "ui/win32/Win32Backend.h"

#include <windows.h>
// <windows.h> names MessageBox as a macro; the framework's WindowKind::MessageBox is meant here.
#undef MessageBox

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ui/Dialog.h"

namespace ui::win32 {

namespace {

constexpr UINT_PTR kWaitTimer = 1;
constexpr char kTimerWindowClass[] = "ReflasherWaitTimer";
constexpr UINT kDefaultDpi = 96;

// Loaded at run time: Windows 10's per-monitor calls are missing from older systems.
UINT DpiForWindow(HWND hwnd) {
    using Fn = UINT(WINAPI*)(HWND);
    static const Fn fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (fn && hwnd) {
        UINT dpi = fn(hwnd);
        if (dpi != 0) return dpi;
    }
    HDC dc = GetDC(nullptr);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 0;
    if (dc) ReleaseDC(nullptr, dc);
    return dpi > 0 ? UINT(dpi) : kDefaultDpi;
}

int MetricForDpi(int index, UINT dpi) {
    using Fn = int(WINAPI*)(int, UINT);
    static const Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("user32.dll"), "GetSystemMetricsForDpi")));
    return fn ? fn(index, dpi) : GetSystemMetrics(index);
}

// The pictures were drawn for dialogs whose base unit is 13 pixels high (8 dialog units): at
// that scale they are shown pixel for pixel, and otherwise in proportion to the dialog's units,
// so that they keep their place among the controls whatever the font and the scaling.
constexpr int kDrawnBaseUnitHeight = 13;

int Scaled(int pixels, HWND dialog) {
    RECT unit{0, 0, 4, 8};
    MapDialogRect(dialog, &unit);
    return unit.bottom > 0 ? MulDiv(pixels, unit.bottom, kDrawnBaseUnitHeight) : pixels;
}

bool IsButton(const Control& c) {
    return c.tmpl && (c.tmpl->kind == res::ControlKind::PushButton ||
                      c.tmpl->kind == res::ControlKind::DefPushButton ||
                      c.tmpl->kind == res::ControlKind::RadioButton);
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace

// What the back end keeps of each page beyond the framework's model.
struct Win32Backend::View {
    const Window* window = nullptr;
    Win32Backend* backend = nullptr;
    HWND hwnd = nullptr;
    std::vector<HWND> controls;             // the model's controls, by index
    std::map<std::size_t, HGDIOBJ> images;  // pictures loaded for controls, by index
    HICON bigIcon = nullptr, smallIcon = nullptr;
    std::size_t menuItems = 0;  // window-menu items appended so far
    bool focused = false;       // the first focus has been set
};

namespace {

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        return FALSE;  // the first focus is set when the page is shown
    }
    auto* view = reinterpret_cast<Win32Backend::View*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!view) return FALSE;
    std::intptr_t result = 0;
    if (!view->backend->handle(*view, message, wParam, lParam, result)) return FALSE;
    // These messages take the procedure's result itself; the others take DWLP_MSGRESULT.
    if (message == WM_QUERYDRAGICON) return result;
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

Win32Backend::Win32Backend(void* instance) : instance_(instance) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = static_cast<HINSTANCE>(instance_);
    wc.lpszClassName = kTimerWindowClass;
    RegisterClassA(&wc);  // fails harmlessly when a second back end registers it again
    timerWindow_ = CreateWindowExA(0, kTimerWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   static_cast<HINSTANCE>(instance_), nullptr);
    if (!timerWindow_) throw std::runtime_error("cannot create the user interface's timer window");
}

Win32Backend::~Win32Backend() {
    for (auto& [window, view] : views_) {
        if (view->hwnd) DestroyWindow(view->hwnd);
    }
    DestroyWindow(static_cast<HWND>(timerWindow_));
}

void Win32Backend::lend(const std::string&, int) {
    flasherRunning_ = true;
}

void Win32Backend::takeBack() {
    flasherRunning_ = false;
    using Fn = BOOL(WINAPI*)(HWND);
    static const Fn destroyReason = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonDestroy")));
    if (destroyReason) {
        for (auto& [window, view] : views_) destroyReason(view->hwnd);
    }
}

bool Win32Backend::keepGoing() {
    paintPending();
    return true;
}

void* Win32Backend::handleOf(const Window& window) const {
    View* view = viewOf(window);
    return view ? view->hwnd : nullptr;
}

Win32Backend::View* Win32Backend::viewOf(const Window& window) const {
    auto it = views_.find(&window);
    return it == views_.end() ? nullptr : it->second.get();
}

Win32Backend::View* Win32Backend::viewOf(void* hwnd) const {
    for (auto& [window, view] : views_) {
        if (view->hwnd == hwnd) return view.get();
    }
    return nullptr;
}

bool Win32Backend::takesInput(const View& view) const {
    return !open_.empty() && open_.back() == view.window && !pendingBox_ && view.window->visible;
}

Millis Win32Backend::now() {
    return Millis(GetTickCount64());
}

// ---- The message pump --------------------------------------------------------------------------

void Win32Backend::dropTypedAhead() {
    if (flushedAt_ == shown_) return;
    flushedAt_ = shown_;
    // Keys and clicks meant for a window that is gone, never for one the operator has not seen.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&msg, nullptr, WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, PM_REMOVE)) {
    }
    pending_.clear();
}

bool Win32Backend::heldOver(const void* m) {
    const MSG& msg = *static_cast<const MSG*>(m);
    if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return false;
    // Bit 30: the key was down before this message, a repeat. Its characters (mnemonics) come
    // only from the key-down, so dropping that drops them too.
    if (!(msg.lParam & (LPARAM(1) << 30))) {
        keyDownAt_[msg.wParam] = shown_ + closed_;
        return false;
    }
    const auto it = keyDownAt_.find(msg.wParam);
    return it == keyDownAt_.end() || it->second != shown_ + closed_;
}

void Win32Backend::route(void* m) {
    MSG& msg = *static_cast<MSG*>(m);
    if (heldOver(&msg)) return;
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && viewOf(root) && IsDialogMessageA(root, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

bool Win32Backend::waitInput(Millis deadline, Input& input) {
    if (quitting_) {
        input = {InputKind::Escape};
        return true;
    }
    dropTypedAhead();
    if (pendingBox_) return showMessageBox(input);
    HWND timer = static_cast<HWND>(timerWindow_);
    auto arm = [&] {
        if (deadline == kForever) return true;
        const Millis left = deadline - now();
        if (left <= 0) return false;
        SetTimer(timer, kWaitTimer, UINT(std::min<Millis>(left, 0x7FFFFFFF)), nullptr);
        return true;
    };
    auto take = [&] {
        if (pending_.empty()) return false;
        input = pending_.front();
        pending_.pop_front();
        return true;
    };
    if (!arm()) return false;
    for (;;) {
        if (take()) {
            KillTimer(timer, kWaitTimer);
            return true;
        }
        MSG msg;
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // WM_QUIT (someone asked the program to end): every window answers Escape until the
            // wizard has unwound.
            KillTimer(timer, kWaitTimer);
            quitting_ = true;
            input = {InputKind::Escape};
            return true;
        }
        if (msg.hwnd == timer && msg.message == WM_TIMER && msg.wParam == kWaitTimer) {
            if (!arm()) {
                KillTimer(timer, kWaitTimer);
                return false;
            }
            continue;
        }
        route(&msg);
    }
}

namespace {
// The back end whose message box is up on this thread, for the hook below.
thread_local Win32Backend* tBoxOwner = nullptr;

// The system's message box runs a loop of its own; its messages pass this filter first.
LRESULT CALLBACK DropHeldKeys(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0 && tBoxOwner && tBoxOwner->heldOver(reinterpret_cast<const MSG*>(lParam)))
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
}  // namespace

bool Win32Backend::showMessageBox(Input& input) {
    const Window& box = *pendingBox_;
    // The owner is the page the operator sees on top.
    HWND owner = nullptr;
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        View* view = viewOf(**it);
        if (view && (*it)->visible) {
            owner = view->hwnd;
            break;
        }
    }
    UINT type = MB_OK | MB_SETFOREGROUND;
    if (box.icon == MessageIcon::Exclamation) type |= MB_ICONEXCLAMATION;
    pendingBox_ = nullptr;
    // The system's box runs a modal loop of its own; the framework's timers wait for it (no page
    // runs a timer beneath a message box).
    // The texts are UTF-8: a path in a message (a folder named in Chinese) is shown as it is.
    auto wide = [](const std::string& utf8) {
        std::wstring text(utf8.size() + 1, L'\0');
        const int got =
            MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), int(text.size()));
        text.resize(std::size_t(got > 0 ? got - 1 : 0));
        return text;
    };
    tBoxOwner = this;
    HHOOK hook = SetWindowsHookExA(WH_MSGFILTER, DropHeldKeys, nullptr, GetCurrentThreadId());
    MessageBoxW(owner, wide(box.text).c_str(), wide(box.title).c_str(), type);
    if (hook) UnhookWindowsHookEx(hook);
    tBoxOwner = nullptr;
    input = {InputKind::Press, kIdOk};
    return true;
}

void Win32Backend::paintPending() {
    // Sent messages (other programs asking for a text, the session's end) are answered by
    // PeekMessage itself; of the posted ones only paints are taken.
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&msg);
}

void Win32Backend::busyPause(Millis ms) {
    const Millis deadline = now() + ms;
    for (;;) {
        paintPending();
        const Millis left = deadline - now();
        if (left <= 0) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(left), QS_PAINT | QS_SENDMESSAGE);
    }
}

bool Win32Backend::handle(View& view, unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                          std::intptr_t& result) {
    const Window& window = *view.window;
    switch (message) {
        case WM_COMMAND: {
            if (!takesInput(view)) return true;  // only the window opened last takes input
            const int id = LOWORD(wParam);
            const unsigned code = HIWORD(wParam);
            HWND from = reinterpret_cast<HWND>(lParam);
            auto control =
                std::find_if(window.controls.begin(), window.controls.end(),
                             [&](const Control& c) { return c.id == id && id != res::kStaticId; });
            if (from && control != window.controls.end() &&
                control->tmpl->kind == res::ControlKind::DropList) {
                if (code == CBN_SELCHANGE) {
                    queue({InputKind::Select, id, int(SendMessageA(from, CB_GETCURSEL, 0, 0))});
                }
                return true;
            }
            if (code != BN_CLICKED) return true;
            if (from && control != window.controls.end() && IsButton(*control)) {
                queue({InputKind::Press, id});
            } else if (id == IDCANCEL) {
                queue({InputKind::Escape});  // the Escape key (or WM_CLOSE) with no Cancel button
            } else if (id == IDOK) {
                queue({InputKind::Enter});
            }
            return true;
        }
        case WM_SYSCOMMAND: {
            const unsigned command = unsigned(wParam) & 0xFFF0u;
            bool ours = (command == SC_CLOSE) || (command == SC_MINIMIZE && !window.iconic) ||
                        (command == SC_RESTORE && window.iconic);
            for (const MenuItem& item : window.windowMenu)
                ours = ours || (item.command != 0 && item.command == command);
            if (!ours) return false;  // moving, the keyboard menu, ...: the system's own handling
            if (!takesInput(view)) {
                // The task bar minimises and restores the pages beneath too; the rest waits.
                return !(command == SC_MINIMIZE || command == SC_RESTORE) && (result = 0, true);
            }
            queue({InputKind::WindowMenu, 0, 0, command});
            result = 0;
            return true;
        }
        case WM_PAINT:
            if (!IsIconic(view.hwnd)) return false;
            {
                // The page paints its icon itself (the framework's paint); here the window is
                // only validated and the framework told.
                PAINTSTRUCT ps;
                BeginPaint(view.hwnd, &ps);
                EndPaint(view.hwnd, &ps);
                queue({InputKind::Repaint});
            }
            return true;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<std::intptr_t>(view.bigIcon);
            return true;
        case WM_QUERYENDSESSION:
            // A flash broken off leaves the receiver without firmware: the session waits for it.
            if (flasherRunning_) {
                using Fn = BOOL(WINAPI*)(HWND, LPCWSTR);
                static const Fn createReason = reinterpret_cast<Fn>(reinterpret_cast<void*>(
                    GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonCreate")));
                if (createReason)
                    createReason(view.hwnd, L"The receiver's firmware is being installed.");
                result = FALSE;
            } else {
                result = TRUE;  // the wizard keeps nothing that needs saving
            }
            return true;
        case WM_DPICHANGED:
            // The system scales the dialog; the pictures and icons are loaded again for it.
            for (std::size_t i = 0; i < view.controls.size(); ++i) applyPicture(view, i);
            applyIcons(view);
            return false;
        default:
            return false;
    }
}

// ---- The window model --------------------------------------------------------------------------

void Win32Backend::updateEnabling() {
    for (auto& [window, view] : views_) {
        const bool top = !open_.empty() && open_.back() == window;
        if (bool(IsWindowEnabled(view->hwnd)) != top) EnableWindow(view->hwnd, top);
    }
}

void Win32Backend::windowOpened(const Window& window) {
    ++shown_;
    if (window.kind == WindowKind::MessageBox) {
        open_.push_back(&window);
        pendingBox_ = &window;
        updateEnabling();
        return;
    }
    if (!window.tmpl) throw std::logic_error("a page without a dialog template");
    // Later pages are owned by the first (the main window): above it, out of the task bar.
    HWND owner = nullptr;
    for (const Window* w : open_) {
        if (View* v = viewOf(*w)) {
            owner = v->hwnd;
            break;
        }
    }
    auto view = std::make_unique<View>();
    view->window = &window;
    view->backend = this;
    HWND hwnd =
        CreateDialogParamA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(window.tmpl->id),
                           owner, DialogProc, reinterpret_cast<LPARAM>(view.get()));
    if (!hwnd) {
        throw std::runtime_error("cannot create dialog " + std::to_string(window.tmpl->id) +
                                 " (error " + std::to_string(GetLastError()) + ")");
    }
    view->hwnd = hwnd;
    // The controls in creation order are the template's, which is the model's order.
    for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        view->controls.push_back(child);
    }
    if (view->controls.size() != window.controls.size()) {
        DestroyWindow(hwnd);
        throw std::runtime_error("dialog " + std::to_string(window.tmpl->id) +
                                 " does not match its template");
    }
    View& v = *view;
    views_[&window] = std::move(view);
    open_.push_back(&window);
    applyAll(v);
    updateEnabling();
}

void Win32Backend::windowChanged(const Window& window, Change change, int controlId) {
    View* view = viewOf(window);
    if (!view) return;
    switch (change) {
        case Change::Visibility:
            if (window.visible) {
                ++shown_;
                ShowWindow(view->hwnd, SW_SHOW);
                if (open_.back() == &window) SetForegroundWindow(view->hwnd);
                if (!view->focused) {
                    view->focused = true;
                    if (HWND first = GetNextDlgTabItem(view->hwnd, nullptr, FALSE))
                        SendMessageA(view->hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first),
                                     TRUE);
                }
            } else {
                ShowWindow(view->hwnd, SW_HIDE);
            }
            return;
        case Change::Iconic:
            ShowWindow(view->hwnd, window.iconic ? SW_MINIMIZE : SW_RESTORE);
            return;
        case Change::Title:
            SetWindowTextA(view->hwnd, window.title.c_str());
            return;
        case Change::Icon:
            applyIcons(*view);
            return;
        case Change::WindowMenu:
            applyWindowMenu(*view);
            return;
        default:
            break;
    }
    for (std::size_t i = 0; i < window.controls.size(); ++i) {
        if (window.controls[i].id == controlId && controlId != res::kStaticId)
            applyControl(*view, i, change);
    }
}

void Win32Backend::windowClosed(const Window& window, int) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    if (pendingBox_ == &window) pendingBox_ = nullptr;
    ++closed_;
    auto it = views_.find(&window);
    std::unique_ptr<View> view;
    if (it != views_.end()) {
        view = std::move(it->second);
        views_.erase(it);
    }
    // The window below is enabled before this one goes, so that it gets the activation.
    updateEnabling();
    if (view) {
        DestroyWindow(view->hwnd);
        for (auto& [index, image] : view->images) {
            if (window.controls[index].tmpl->kind == res::ControlKind::IconPicture) {
                DestroyIcon(static_cast<HICON>(image));
            } else {
                DeleteObject(image);
            }
        }
        if (view->bigIcon) DestroyIcon(view->bigIcon);
        if (view->smallIcon) DestroyIcon(view->smallIcon);
    }
    if (!open_.empty()) {
        if (View* top = viewOf(*open_.back()); top && open_.back()->visible)
            SetForegroundWindow(top->hwnd);
    }
}

void Win32Backend::inputIgnored(const Window&, const Input&, const char*) {
    MessageBeep(MB_OK);
}

void Win32Backend::applyAll(View& view) {
    const Window& window = *view.window;
    SetWindowTextA(view.hwnd, window.title.c_str());
    for (std::size_t i = 0; i < window.controls.size(); ++i) {
        for (Change c : {Change::Text, Change::Enabled, Change::ControlVisibility, Change::Checked,
                         Change::Items, Change::Selection, Change::Picture}) {
            applyControl(view, i, c);
        }
    }
    applyIcons(view);
    applyWindowMenu(view);
}

void Win32Backend::applyControl(View& view, std::size_t index, Change change) {
    const Control& c = view.window->controls[index];
    HWND hwnd = view.controls[index];
    const res::ControlKind kind = c.tmpl->kind;
    switch (change) {
        case Change::Text:
            // Buttons keep their template's text; pictures have none.
            if (kind == res::ControlKind::Edit || kind == res::ControlKind::Label)
                SetWindowTextA(hwnd, c.text.c_str());
            if (kind == res::ControlKind::Edit && (c.tmpl->style & res::kMultiLine))
                scrollIfLonger(hwnd);
            return;
        case Change::Enabled:
            if (!c.enabled && GetFocus() == hwnd) SendMessageA(view.hwnd, WM_NEXTDLGCTL, 0, FALSE);
            EnableWindow(hwnd, c.enabled);
            return;
        case Change::ControlVisibility:
            if (!c.visible && GetFocus() == hwnd) SendMessageA(view.hwnd, WM_NEXTDLGCTL, 0, FALSE);
            ShowWindow(hwnd, c.visible ? SW_SHOW : SW_HIDE);
            return;
        case Change::Checked:
            if (kind == res::ControlKind::RadioButton)
                SendMessageA(hwnd, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            return;
        case Change::Items:
            if (kind != res::ControlKind::DropList) return;
            SendMessageA(hwnd, CB_RESETCONTENT, 0, 0);
            // Inserted at their places: the framework's order is the list's (no sorting here).
            for (std::size_t i = 0; i < c.items.size(); ++i)
                SendMessageA(hwnd, CB_INSERTSTRING, i,
                             reinterpret_cast<LPARAM>(c.items[i].c_str()));
            [[fallthrough]];
        case Change::Selection:
            if (kind == res::ControlKind::DropList)
                SendMessageA(hwnd, CB_SETCURSEL, WPARAM(c.selection), 0);
            return;
        case Change::Picture:
            applyPicture(view, index);
            return;
        default:
            return;
    }
}

unsigned Win32Backend::dpiOf(const View& view) const {
    return DpiForWindow(view.hwnd);
}

void Win32Backend::scrollIfLonger(void* edit) {
    // A read-only text's scroll bar (its resource gives it one) shows only while the text is
    // longer than its box, whatever the template says: in the font and at the scale the system
    // has, a box may hold fewer lines than it did where it was drawn, and a text that fits needs
    // no idle bar. Measured with the bar shown, so that the narrower box decides.
    HWND hwnd = static_cast<HWND>(edit);
    if (!(GetWindowLongA(hwnd, GWL_STYLE) & ES_READONLY)) return;
    ShowScrollBar(hwnd, SB_VERT, TRUE);
    RECT box{};
    SendMessageA(hwnd, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&box));
    HDC dc = GetDC(hwnd);
    if (!dc) return;
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(hwnd, WM_GETFONT, 0, 0)));
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    const LRESULT lines = SendMessageA(hwnd, EM_GETLINECOUNT, 0, 0);
    const bool fits = metrics.tmHeight > 0 && lines * metrics.tmHeight <= box.bottom - box.top;
    if (fits) ShowScrollBar(hwnd, SB_VERT, FALSE);
}

void Win32Backend::applyPicture(View& view, std::size_t index) {
    const Control& c = view.window->controls[index];
    const res::ControlKind kind = c.tmpl->kind;
    if (kind != res::ControlKind::IconPicture && kind != res::ControlKind::BitmapPicture) return;
    HWND hwnd = view.controls[index];
    const bool icon = kind == res::ControlKind::IconPicture;
    HGDIOBJ image = nullptr;
    if (c.picture) {
        // The resource of the same number, scaled with the dialog (see Scaled).
        const res::Image& first = c.picture->images[0];
        image = LoadImageA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(c.picture->id),
                           icon ? IMAGE_ICON : IMAGE_BITMAP, Scaled(first.width, view.hwnd),
                           Scaled(first.height, view.hwnd), LR_DEFAULTCOLOR);
    }
    const HANDLE previous = reinterpret_cast<HANDLE>(SendMessageA(
        hwnd, STM_SETIMAGE, icon ? IMAGE_ICON : IMAGE_BITMAP, reinterpret_cast<LPARAM>(image)));
    auto old = view.images.find(index);
    HGDIOBJ ours = old == view.images.end() ? nullptr : old->second;
    if (icon) {
        if (ours) DestroyIcon(static_cast<HICON>(ours));
    } else {
        if (ours) DeleteObject(ours);
        // The control may have shown a copy of its own (a bitmap with alpha) or the template's.
        if (previous && previous != ours) DeleteObject(previous);
    }
    if (image) {
        view.images[index] = image;
    } else {
        view.images.erase(index);
    }
}

void Win32Backend::applyIcons(View& view) {
    const Window& window = *view.window;
    const UINT dpi = dpiOf(view);
    auto load = [&](int id, int metric) -> HICON {
        if (id == 0) return nullptr;
        const int size = MetricForDpi(metric, dpi);
        return static_cast<HICON>(LoadImageA(static_cast<HINSTANCE>(instance_),
                                             MAKEINTRESOURCEA(id), IMAGE_ICON, size, size,
                                             LR_DEFAULTCOLOR));
    };
    HICON big = load(window.largeIcon, SM_CXICON);
    HICON small = load(window.smallIcon, SM_CXSMICON);
    SendMessageA(view.hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageA(view.hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    if (view.bigIcon) DestroyIcon(view.bigIcon);
    if (view.smallIcon) DestroyIcon(view.smallIcon);
    view.bigIcon = big;
    view.smallIcon = small;
}

void Win32Backend::applyWindowMenu(View& view) {
    const Window& window = *view.window;
    if (view.menuItems >= window.windowMenu.size()) return;
    // Items in the window menu need a window menu the operator can open: a page whose template
    // has no window-menu box (the Welcome page) gets one, with the icon and the close button
    // that go with it (closing is Cancel).
    const LONG style = GetWindowLongA(view.hwnd, GWL_STYLE);
    if (!(style & WS_SYSMENU)) {
        SetWindowLongA(view.hwnd, GWL_STYLE, style | WS_SYSMENU);
        SetWindowPos(view.hwnd, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    HMENU menu = GetSystemMenu(view.hwnd, FALSE);
    if (!menu) return;
    for (; view.menuItems < window.windowMenu.size(); ++view.menuItems) {
        const MenuItem& item = window.windowMenu[view.menuItems];
        if (item.command == 0) {
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        } else {
            AppendMenuA(menu, MF_STRING, item.command, item.text.c_str());
        }
    }
}

int Win32Backend::iconSize() {
    const View* top = nullptr;
    for (auto it = open_.rbegin(); it != open_.rend() && !top; ++it) top = viewOf(**it);
    return MetricForDpi(SM_CXICON, top ? dpiOf(*top) : DpiForWindow(nullptr));
}

void Win32Backend::clientSize(const Window& window, int& width, int& height) {
    width = height = 0;
    View* view = viewOf(window);
    RECT r{};
    if (view && GetClientRect(view->hwnd, &r)) {
        width = r.right - r.left;
        height = r.bottom - r.top;
    }
}

void Win32Backend::drawIcon(const Window& window, int x, int y, const res::Picture& icon) {
    View* view = viewOf(window);
    if (!view) return;
    const int size = MetricForDpi(SM_CXICON, dpiOf(*view));
    HICON hicon =
        static_cast<HICON>(LoadImageA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(icon.id),
                                      IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    if (!hicon) return;
    HDC dc = GetDC(view->hwnd);
    if (dc) {
        DrawIconEx(dc, x, y, hicon, size, size, 0, nullptr, DI_NORMAL);
        ReleaseDC(view->hwnd, dc);
    }
    DestroyIcon(hicon);
}

}  // namespace ui::win32
