// Our small dialog framework: pages are classes derived from Dialog, one per dialog template
// (res/Dialogs.h). A page binds its handlers to control ids and window messages through a table,
// exchanges member values with controls in doDataExchange, and is run modally by doModal, which
// returns OK or Cancel. Everything runs on one user-interface thread, inside nested modal loops;
// the back end that shows the windows (ui/Backend.h) is chosen by the Session and never seen here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "res/Pictures.h"
#include "ui/Backend.h"

namespace ui {

// Window messages (their Windows numbers, so that ported handlers read the same).
namespace msg {
constexpr unsigned Paint = 0x000F;
constexpr unsigned IconEraseBkgnd = 0x0027;
constexpr unsigned QueryDragIcon = 0x0037;
constexpr unsigned InitDialog = 0x0110;
constexpr unsigned Command = 0x0111;
constexpr unsigned SysCommand = 0x0112;
constexpr unsigned Timer = 0x0113;
constexpr unsigned App = 0x8000;  // first private message
}  // namespace msg

// Window-menu commands of the framework (low four bits zero, as window-menu commands need).
constexpr unsigned kScMinimize = 0xF020;
constexpr unsigned kScClose = 0xF060;
constexpr unsigned kScRestore = 0xF120;

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
// Notification code (high word of a command's wParam) of a drop-down list's selection change.
constexpr unsigned kSelChange = 1;

enum class Result : int { OK = kIdOk, Cancel = kIdCancel };

struct Message {
    unsigned id;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class Dialog;

// One entry of a page's handler table.
struct Handler {
    enum class Kind { Command, Message };
    Kind kind;
    unsigned code;  // control id for Command (clicks only), message id for Message
    std::function<std::intptr_t(Dialog&, const Message&)> call;
};
using HandlerTable = std::vector<Handler>;

template <class Page>
Handler onCommand(int id, void (Page::*fn)()) {
    return {Handler::Kind::Command, unsigned(id), [fn](Dialog& d, const Message&) -> std::intptr_t {
                (static_cast<Page&>(d).*fn)();
                return 0;
            }};
}
template <class Page>
Handler onMessage(unsigned id, std::intptr_t (Page::*fn)(std::uintptr_t, std::intptr_t)) {
    return {Handler::Kind::Message, id, [fn](Dialog& d, const Message& m) {
                return (static_cast<Page&>(d).*fn)(m.wParam, m.lParam);
            }};
}
template <class Page>
Handler onTimer(void (Page::*fn)(unsigned timerId)) {
    return {Handler::Kind::Message, msg::Timer, [fn](Dialog& d, const Message& m) -> std::intptr_t {
                (static_cast<Page&>(d).*fn)(unsigned(m.wParam));
                return 0;
            }};
}
template <class Page>
Handler onSysCommand(void (Page::*fn)(unsigned command)) {
    return {Handler::Kind::Message, msg::SysCommand,
            [fn](Dialog& d, const Message& m) -> std::intptr_t {
                (static_cast<Page&>(d).*fn)(unsigned(m.wParam));
                return 0;
            }};
}
template <class Page>
Handler onPaint(void (Page::*fn)()) {
    return {Handler::Kind::Message, msg::Paint, [fn](Dialog& d, const Message&) -> std::intptr_t {
                (static_cast<Page&>(d).*fn)();
                return 0;
            }};
}

// A loaded picture. Controls keep the one they show; the last holder releases it.
using PictureHandle = std::shared_ptr<const res::Picture>;
// Loads picture resource `id`; empty when there is none.
PictureHandle loadPicture(int id);
// How many loaded pictures are alive (so tests can see that replaced frames are released).
long livePictureCount();

// Direction and target of one data exchange.
struct DataExchange {
    Dialog& dialog;
    bool saving;  // true: controls -> members; false: members -> controls
};
void ddxText(DataExchange& dx, int controlId, std::string& value);
// The radio group that starts at `firstId`: index of the checked button, -1 for none.
void ddxRadio(DataExchange& dx, int firstId, int& value);

// Shows a modal message box with an OK button and waits until the operator closes it.
void messageBox(const std::string& text, const std::string& caption, MessageIcon icon);
// The program's standard message box: exclamation icon, the program's name as caption.
void messageBox(const std::string& text);

// Waits `ms` milliseconds while a page is busy and takes no input (Backend::busyPause).
void busyPause(std::uint32_t ms);

// The executable's file name without folder and extension ("C:\x\Reflasher.exe" -> "Reflasher").
std::string programNameFromPath(std::string_view path);

namespace detail {
struct WindowState;
class Runtime;
}  // namespace detail

// Binds the framework to a back end on the current thread for its lifetime; pages opened on that
// thread meanwhile are shown through it. One session per thread at a time.
class Session {
  public:
    Session(Backend& backend, std::string programName);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The session of the calling thread, or nullptr.
    static Session* current();
    const std::string& programName() const { return programName_; }

  private:
    friend class Dialog;
    friend void messageBox(const std::string&, const std::string&, MessageIcon);
    friend void busyPause(std::uint32_t);
    std::string programName_;
    std::unique_ptr<detail::Runtime> runtime_;
    Session* previous_;
};

class Dialog {
  public:
    explicit Dialog(int templateId);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the window, initialises it, shows it and runs its modal loop until it ends.
    Result doModal();
    // Ends the modal loop of this page with `result` once control returns to it.
    void endDialog(Result result);

    // Sends `message` to the page at once and returns the handler's result.
    std::intptr_t sendMessage(unsigned id, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
    // Queues `message`; the modal loop hands it to the page before it paints or waits for input.
    void postMessage(unsigned id, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

    // Data exchange between controls and members (save: controls -> members).
    bool updateData(bool save);

    // Window.
    void showWindow(bool show);
    bool isWindowVisible() const;
    bool isIconic() const;
    void setIcon(int iconId, bool large);
    // The window menu: false when the page has none.
    bool hasWindowMenu() const;
    void appendWindowMenu(unsigned command, const std::string& text);  // command 0: separator
    void clientSize(int& width, int& height) const;

    // Controls.
    void setItemText(int id, const std::string& text);
    std::string itemText(int id) const;
    void enableItem(int id, bool enable);
    bool isItemEnabled(int id) const;
    void showItem(int id, bool show);
    int listAddString(int id, const std::string& text);  // returns the index it went to
    void listSetCurSel(int id, int index);
    int listGetCurSel(int id) const;
    void checkRadioButton(int firstId, int lastId, int checkId);
    void setPicture(int id, PictureHandle picture);

    // Timers on the back end's clock: msg::Timer with the timer id every period.
    void setTimer(unsigned timerId, unsigned periodMs);
    void killTimer(unsigned timerId);

    // Paint operations, only inside a paint handler.
    int iconSize() const;
    void drawIcon(int x, int y, const PictureHandle& icon);

  protected:
    // Overridables, each with the framework's default behaviour.
    virtual const HandlerTable& handlers() const;
    virtual bool onInitDialog();  // exchange members -> controls; true: default focus
    virtual void doDataExchange(DataExchange& dx);
    virtual void onOK();      // exchange controls -> members, then end with OK
    virtual void onCancel();  // end with Cancel
    // The default handling of a message no table entry took.
    virtual std::intptr_t defaultHandling(const Message& message);

  private:
    friend class detail::Runtime;
    friend void ddxText(DataExchange&, int, std::string&);
    friend void ddxRadio(DataExchange&, int, int&);
    std::intptr_t dispatch(const Message& message);
    Control* control(int id);
    const Control* control(int id) const;
    void changed(Change change, int controlId);

    int templateId_;
    detail::WindowState* state_ = nullptr;  // while the page is open
};

}  // namespace ui
