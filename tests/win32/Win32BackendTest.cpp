// The Windows resources written from res/ (this program links them, as Reflasher.exe does) and
// the Win32 back end driven directly, under Wine with the null graphics driver.
#include <windows.h>
// <windows.h> makes these macros; the string table's and the framework's are meant here.
#undef LoadString
#undef MessageBox

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/Dialogs.h"
#include "res/Pictures.h"
#include "res/Strings.h"
#include "ui/Dialog.h"
#include "ui/win32/Win32Backend.h"

namespace {

HINSTANCE Module() {
    return GetModuleHandleA(nullptr);
}

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string TextOf(HWND hwnd) {
    char text[2048] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

std::vector<HWND> ChildrenOf(HWND dialog) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

INT_PTR CALLBACK Inert(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

TEST(Win32Resources, StringTableIsTheWizards) {
    int strings = 0;
    for (int id = 1; id < 1000; ++id) {
        const std::string expected = res::LoadString(id);
        char text[2048] = {};
        const int length = LoadStringA(Module(), UINT(id), text, sizeof text);
        EXPECT_EQ(std::string(text, std::size_t(length)), expected) << "string " << id;
        strings += expected.empty() ? 0 : 1;
    }
    EXPECT_EQ(strings, 30);
}

// Every dialog resource has its template's controls, in its order, with its classes, texts,
// styles and positions (in the dialog's own units).
TEST(Win32Resources, DialogsAreTheirTemplates) {
    int dialogs = 0;
    for (int id = 1; id < 1000; ++id) {
        const res::DialogTemplate* t = res::FindDialog(id);
        if (!t) continue;
        ++dialogs;
        SCOPED_TRACE("dialog " + std::to_string(id));
        HWND dialog = CreateDialogParamA(Module(), MAKEINTRESOURCEA(id), nullptr, Inert, 0);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(TextOf(dialog), t->title);
        const LONG style = GetWindowLongA(dialog, GWL_STYLE);
        EXPECT_EQ((style & WS_SYSMENU) != 0, (t->style & res::kDlgSysMenuBox) != 0);
        EXPECT_EQ((style & WS_CAPTION) == WS_CAPTION, (t->style & res::kDlgCaption) != 0);
        EXPECT_EQ((GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0,
                  (t->style & res::kDlgTaskBar) != 0);
        RECT client{}, size{0, 0, t->cx, t->cy};
        GetClientRect(dialog, &client);
        MapDialogRect(dialog, &size);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);

        const std::vector<HWND> children = ChildrenOf(dialog);
        ASSERT_EQ(children.size(), t->controlCount);
        for (std::size_t i = 0; i < t->controlCount; ++i) {
            const res::ControlTemplate& c = t->controls[i];
            HWND child = children[i];
            SCOPED_TRACE("control " + std::to_string(i) + " (" + std::to_string(c.id) + ")");
            EXPECT_EQ(int(GetWindowLongPtrA(child, GWLP_ID)), c.id);
            const LONG cs = GetWindowLongA(child, GWL_STYLE);
            EXPECT_EQ((cs & WS_VISIBLE) == 0, (c.style & res::kHidden) != 0);
            EXPECT_EQ((cs & WS_TABSTOP) != 0, (c.style & res::kTabStop) != 0);
            EXPECT_EQ((cs & WS_GROUP) != 0, (c.style & res::kGroupStart) != 0);
            // (A drop-down list's scroll bar belongs to its list; a read-only text always has one.)
            const bool readOnlyText = c.kind == res::ControlKind::Edit &&
                                      (c.style & res::kReadOnly) && (c.style & res::kMultiLine);
            if (c.kind != res::ControlKind::DropList) {
                EXPECT_EQ((cs & WS_VSCROLL) != 0, (c.style & res::kVScroll) != 0 || readOnlyText);
            }
            const std::string cls = ClassOf(child);
            switch (c.kind) {
                case res::ControlKind::Label:
                    EXPECT_EQ(cls, "Static");
                    EXPECT_EQ(TextOf(child), c.text);
                    break;
                case res::ControlKind::Edit:
                    EXPECT_EQ(cls, "Edit");
                    EXPECT_EQ((cs & ES_READONLY) != 0, (c.style & res::kReadOnly) != 0);
                    EXPECT_EQ((cs & ES_MULTILINE) != 0, (c.style & res::kMultiLine) != 0);
                    break;
                case res::ControlKind::DropList:
                    EXPECT_EQ(cls, "ComboBox");
                    EXPECT_EQ(cs & 3, CBS_DROPDOWNLIST);
                    break;
                case res::ControlKind::IconPicture:
                case res::ControlKind::BitmapPicture:
                    EXPECT_EQ(cls, "Static");
                    EXPECT_EQ(cs & SS_TYPEMASK,
                              c.kind == res::ControlKind::IconPicture ? SS_ICON : SS_BITMAP);
                    break;
                default:
                    EXPECT_EQ(cls, "Button");
                    EXPECT_EQ(TextOf(child), c.text);
                    EXPECT_EQ(cs & BS_TYPEMASK,
                              c.kind == res::ControlKind::DefPushButton ? BS_DEFPUSHBUTTON
                              : c.kind == res::ControlKind::PushButton  ? BS_PUSHBUTTON
                              : c.kind == res::ControlKind::RadioButton ? BS_AUTORADIOBUTTON
                                                                        : BS_GROUPBOX);
                    break;
            }
            // Icons size themselves to their picture; everything else sits where the template says.
            if (c.kind == res::ControlKind::IconPicture) continue;
            // The dialog manager converts the position and the size each on its own.
            RECT expected{c.x, c.y, c.cx, c.cy};
            MapDialogRect(dialog, &expected);
            expected.right += expected.left;
            expected.bottom += expected.top;
            RECT actual{};
            GetWindowRect(child, &actual);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
            if (c.kind != res::ControlKind::DropList) {
                EXPECT_EQ(actual.bottom, expected.bottom);  // a list's height is the open list's
            }
            EXPECT_EQ(actual.left, expected.left);
            EXPECT_EQ(actual.top, expected.top);
            EXPECT_EQ(actual.right, expected.right);
        }
        DestroyWindow(dialog);
    }
    EXPECT_EQ(dialogs, 7);
}

// The pictures are the drawn ones, pixel for pixel, as 16-colour bitmaps and icons.
TEST(Win32Resources, PicturesAreTheDrawnOnes) {
    HDC dc = CreateCompatibleDC(nullptr);
    for (int id = 1; id < 1000; ++id) {
        const res::Picture* picture = res::FindPicture(id);
        if (!picture) continue;
        SCOPED_TRACE("picture " + std::to_string(id));
        for (int i = 0; i < picture->imageCount; ++i) {
            const res::Image& image = picture->images[i];
            HBITMAP colours = nullptr;
            HICON icon = nullptr;
            if (picture->kind == res::PictureKind::Bitmap) {
                colours = static_cast<HBITMAP>(LoadImageA(Module(), MAKEINTRESOURCEA(id),
                                                          IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
                ASSERT_NE(colours, nullptr);
                DIBSECTION dib{};
                ASSERT_EQ(GetObjectA(colours, sizeof dib, &dib), int(sizeof dib));
                EXPECT_EQ(dib.dsBmih.biBitCount, 4);
            } else {
                icon = static_cast<HICON>(LoadImageA(Module(), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                                     image.width, image.height, LR_DEFAULTCOLOR));
                ASSERT_NE(icon, nullptr);
                ICONINFO info{};
                ASSERT_TRUE(GetIconInfo(icon, &info));
                colours = info.hbmColor;
                DeleteObject(info.hbmMask);
            }
            BITMAP bm{};
            GetObjectA(colours, sizeof bm, &bm);
            EXPECT_EQ(bm.bmWidth, image.width);
            EXPECT_EQ(bm.bmHeight, image.height);
            HGDIOBJ old = SelectObject(dc, colours);
            int wrong = 0;
            for (int y = 0; y < image.height; ++y) {
                for (int x = 0; x < image.width; ++x) {
                    const int index = image.pixels[y * image.width + x];
                    if (index == image.transparent) continue;
                    const std::uint32_t rgb = res::kPalette16[index];
                    const COLORREF expected = RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF);
                    wrong += GetPixel(dc, x, y) == expected ? 0 : 1;
                }
            }
            EXPECT_EQ(wrong, 0) << image.width << "x" << image.height;
            SelectObject(dc, old);
            DeleteObject(colours);
            if (icon) DestroyIcon(icon);
        }
    }
    DeleteDC(dc);
}

TEST(Win32Resources, ManifestAndVersion) {
    HRSRC found =
        FindResourceA(Module(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(Module(), found)));
    const std::string manifest(bytes, SizeofResource(Module(), found));
    for (const char* wanted :
         {"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "PerMonitorV2",
          "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm",
          "level=\"asInvoker\""}) {
        EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::vector<char> info(GetFileVersionInfoSizeA(path, nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, DWORD(info.size()), info.data()));
    char* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductName",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, "Reflasher");
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, REFLASHER_VERSION);
}

// ---- The back end, driven directly as the framework drives it
// ------------------------------------

// A window model as the framework builds it from template `id`.
ui::Window Model(int id) {
    ui::Window window;
    window.tmpl = res::FindDialog(id);
    window.title = window.tmpl->title;
    for (std::size_t i = 0; i < window.tmpl->controlCount; ++i) {
        const res::ControlTemplate& ct = window.tmpl->controls[i];
        ui::Control c;
        c.tmpl = &ct;
        c.id = ct.id;
        c.text = ct.text;
        c.visible = !(ct.style & res::kHidden);
        c.picture = ct.picture ? res::FindPicture(ct.picture) : nullptr;
        window.controls.push_back(c);
    }
    return window;
}

class Win32BackendTest : public ::testing::Test {
  protected:
    HWND Open(ui::Window& window) {
        backend_.windowOpened(window);
        window.visible = true;
        backend_.windowChanged(window, ui::Change::Visibility, 0);
        return static_cast<HWND>(backend_.handleOf(window));
    }
    // The input that comes within a little while, or none (kind Repaint stands for none).
    ui::Input Next() {
        ui::Input input{ui::InputKind::Repaint};
        if (!backend_.waitInput(backend_.now() + 300, input)) input = {ui::InputKind::Repaint};
        return input;
    }
    static void Key(HWND to, UINT key) {
        PostMessageA(to, WM_KEYDOWN, key, 1);
        PostMessageA(to, WM_KEYUP, key, LPARAM(0xC0000001));
    }
    static HWND Focus() { return GetFocus(); }

    ui::win32::Win32Backend backend_{Module()};
};

TEST_F(Win32BackendTest, KeysTypedBeforeAWindowWasShownNeverReachIt) {
    ui::Window restore = Model(res::idd::kRestore);
    restore.controls[2].checked = true;  // as the page's data exchange does
    HWND page = Open(restore);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Focus(), GetDlgItem(page, res::idc::kWhiteTop));  // the first tab stop
    Key(Focus(), VK_ESCAPE);  // typed while the wizard is busy, for the page below
    ui::Window about = Model(res::idd::kAbout);
    backend_.windowOpened(about);
    HWND box = static_cast<HWND>(backend_.handleOf(about));
    Key(GetDlgItem(box, IDOK), VK_ESCAPE);  // and for this window before it was shown
    about.visible = true;
    backend_.windowChanged(about, ui::Change::Visibility, 0);
    EXPECT_EQ(GetWindow(box, GW_OWNER), page);
    EXPECT_FALSE(IsWindowEnabled(page));
    EXPECT_EQ(Next().kind, ui::InputKind::Repaint);  // nothing
    Key(Focus(), VK_ESCAPE);                         // typed now: About has no Cancel button
    EXPECT_EQ(Next().kind, ui::InputKind::Escape);
    backend_.windowClosed(about, 2);
    EXPECT_TRUE(IsWindowEnabled(page));
    Key(GetDlgItem(page, res::idc::kWhiteTop),
        VK_ESCAPE);  // the Restore page's Escape is its Cancel button
    const ui::Input cancel = Next();
    EXPECT_EQ(cancel.kind, ui::InputKind::Press);
    EXPECT_EQ(cancel.control, 2);
    backend_.windowClosed(restore, 2);
}

TEST_F(Win32BackendTest, InputWaitsWhileTheWizardIsBusy) {
    ui::Window restore = Model(res::idd::kRestore);
    restore.controls[2].checked = true;
    HWND page = Open(restore);
    EXPECT_EQ(Next().kind, ui::InputKind::Repaint);
    Key(GetDlgItem(page, res::idc::kWhiteTop), VK_DOWN);  // arrows move the check in the group
    const ui::Input grey = Next();
    EXPECT_EQ(grey.kind, ui::InputKind::Press);
    EXPECT_EQ(grey.control, res::idc::kGreyTop);
    PostMessageA(GetDlgItem(page, res::idc::kBack), BM_CLICK, 0, 0);
    backend_.busyPause(100);  // paints, answers, takes no input
    const ui::Input back = Next();
    EXPECT_EQ(back.kind, ui::InputKind::Press);
    EXPECT_EQ(back.control, res::idc::kBack);
    backend_.windowClosed(restore, 2);
}

TEST_F(Win32BackendTest, ShowsTheModelAndBringsTheWindowMenu) {
    ui::Window welcome = Model(res::idd::kWelcome);
    HWND page = Open(welcome);
    welcome.largeIcon = welcome.smallIcon = res::idi::kApplication;
    backend_.windowChanged(welcome, ui::Change::Icon, 0);
    EXPECT_NE(SendMessageA(page, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageA(page, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_FALSE(GetWindowLongA(page, GWL_STYLE) &
                 WS_SYSMENU);  // its template has no window-menu box
    welcome.windowMenu = {{0, ""}, {0x10, "&About Firmware..."}};
    backend_.windowChanged(welcome, ui::Change::WindowMenu, 0);
    EXPECT_TRUE(GetWindowLongA(page, GWL_STYLE) & WS_SYSMENU);  // ...and now one to open it by
    HMENU menu = GetSystemMenu(page, FALSE);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(GetMenuItemID(menu, count - 1), 0x10u);
    char item[64] = {};
    GetMenuStringA(menu, UINT(count - 1), item, sizeof item, MF_BYPOSITION);
    EXPECT_STREQ(item, "&About Firmware...");
    EXPECT_EQ(GetMenuItemID(menu, count - 2), 0u);  // the separator
    PostMessageA(page, WM_SYSCOMMAND, 0x10, 0);
    const ui::Input about = Next();
    EXPECT_EQ(about.kind, ui::InputKind::WindowMenu);
    EXPECT_EQ(about.command, 0x10u);

    welcome.controls[0].picture =
        res::FindPicture(res::idi::kLogo);  // the logo into res::idc::kLogo
    backend_.windowChanged(welcome, ui::Change::Picture, res::idc::kLogo);
    EXPECT_NE(SendMessageA(GetDlgItem(page, res::idc::kLogo), STM_GETIMAGE, IMAGE_ICON, 0), 0);
    welcome.controls[2].text = "line one\r\nline two";
    backend_.windowChanged(welcome, ui::Change::Text, res::idc::kInstructions);
    EXPECT_EQ(TextOf(GetDlgItem(page, res::idc::kInstructions)), "line one\r\nline two");
    backend_.windowClosed(welcome, 2);
}

// A text longer than its box scrolls to its end by its bar and by keys, whatever the font and the
// scale make of it; a text that fits shows no bar.
TEST_F(Win32BackendTest, LongTextsScrollToTheirEnd) {
    ui::Window choose = Model(res::idd::kChooseConnection);
    HWND page = Open(choose);
    HWND edit = GetDlgItem(page, res::idc::kInstructions);
    choose.controls[0].text = "Short.";
    backend_.windowChanged(choose, ui::Change::Text, res::idc::kInstructions);
    EXPECT_FALSE(GetWindowLongA(edit, GWL_STYLE) & WS_VSCROLL);
    choose.controls[0].text = res::LoadString(res::ids::kPortInstructions);
    backend_.windowChanged(choose, ui::Change::Text, res::idc::kInstructions);
    EXPECT_TRUE(GetWindowLongA(edit, GWL_STYLE) & WS_VSCROLL);
    const int lines = int(SendMessageA(edit, EM_GETLINECOUNT, 0, 0));
    SCROLLINFO bar{};
    bar.cbSize = sizeof bar;
    bar.fMask = SIF_ALL;
    ASSERT_TRUE(GetScrollInfo(edit, SB_VERT, &bar));
    EXPECT_EQ(bar.nMax, lines - 1);  // a bar that can be moved
    ASSERT_GT(int(bar.nPage), 0);
    ASSERT_LT(int(bar.nPage), lines);
    // At the end, the first visible line is the one a page above the last.
    auto firstVisible = [&] { return int(SendMessageA(edit, EM_GETFIRSTVISIBLELINE, 0, 0)); };
    for (int i = 0; i < lines; ++i)  // the bar's arrow, as a click on it sends
        SendMessageA(edit, WM_VSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(firstVisible(), lines - int(bar.nPage));
    EXPECT_EQ(GetScrollPos(edit, SB_VERT), lines - int(bar.nPage));
    SendMessageA(edit, WM_VSCROLL, SB_TOP, 0);
    SetFocus(edit);  // a click into the text
    EXPECT_EQ(Next().kind,
              ui::InputKind::Repaint);  // (keys typed before the page showed are dropped)
    for (int i = 0; i < lines; ++i) Key(edit, VK_NEXT);
    EXPECT_EQ(Next().kind, ui::InputKind::Repaint);
    EXPECT_EQ(firstVisible(), lines - int(bar.nPage));
    backend_.windowClosed(choose, 2);
}

}  // namespace
