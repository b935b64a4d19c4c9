// The window model on Qt: windows opened, changed and closed; waiting for the operator on Qt's
// event loop; the gate that keeps the operator's input away while the wizard is busy.
#include "ui/desktop/DesktopBackend.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <climits>

#include "ui/desktop/Console.h"
#include "ui/desktop/WindowWidget.h"

namespace ui::desktop {

// Application-wide: drops the operator's input to the wizard's windows whenever they may not take
// it (outside waitInput, and while queued input from before a window was shown is flushed). The
// console window is let through while it is open: the flasher's keys.
class InputGate : public QObject {
  public:
    explicit InputGate(DesktopBackend& backend) : backend_(backend) {}

    bool eventFilter(QObject* receiver, QEvent* event) override {
        const QEvent::Type type = event->type();
        if ((type == QEvent::KeyPress || type == QEvent::KeyRelease ||
             type == QEvent::ShortcutOverride) &&
            !backend_.inConsole(receiver) && backend_.heldOver(*static_cast<QKeyEvent*>(event)))
            return true;
        if (backend_.accepting_) return false;
        switch (event->type()) {
            case QEvent::Close:
                // Only the wizard's own windows: popups close themselves this way.
                if (!dynamic_cast<WindowWidget*>(receiver)) return false;
                event->ignore();  // a close request while the wizard is busy: nothing happens
                return true;
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::NonClientAreaMouseButtonPress:
            case QEvent::NonClientAreaMouseButtonRelease:
            case QEvent::NonClientAreaMouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::ContextMenu:
            case QEvent::InputMethod:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::TabletPress:
            case QEvent::TabletRelease:
                return !backend_.inConsole(receiver);
            default:
                return false;
        }
    }

  private:
    DesktopBackend& backend_;
};

DesktopBackend::DesktopBackend() : gate_(std::make_unique<InputGate>(*this)) {
    // The wizard decides when it ends, not the last window closing.
    QApplication::setQuitOnLastWindowClosed(false);
    qApp->installEventFilter(gate_.get());
}

DesktopBackend::~DesktopBackend() {
    qApp->removeEventFilter(gate_.get());
    for (auto& [window, widget] : widgets_) delete widget;
}

Millis DesktopBackend::now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

WindowWidget* DesktopBackend::widget(const Window& window) const {
    auto it = widgets_.find(&window);
    return it == widgets_.end() ? nullptr : it->second;
}

QWidget* DesktopBackend::widgetOf(const Window& window) const {
    return widget(window);
}

bool DesktopBackend::inConsole(const QObject* receiver) const {
    const QWidget* console = console_ ? console_->window() : nullptr;
    if (!console || !console->isVisible()) return false;
    if (auto* w = dynamic_cast<const QWidget*>(receiver)) return w->window() == console;
    if (auto* w = dynamic_cast<const QWindow*>(receiver)) return w == console->windowHandle();
    return false;
}

// ---- Waiting for the operator ------------------------------------------------------------------

bool DesktopBackend::waitInput(Millis deadline, Input& input) {
    if (droppedAt_ != shown_) {
        dropQueuedInput();
        droppedAt_ = shown_;
    }
    QEventLoop loop;
    QTimer due;
    due.setSingleShot(true);
    due.setTimerType(Qt::PreciseTimer);
    QObject::connect(&due, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (deadline != kForever) due.start(int(std::clamp<Millis>(deadline - now(), 0, INT_MAX)));
    captured_ = false;
    loop_ = &loop;
    accepting_ = true;
    loop.exec();
    accepting_ = false;
    loop_ = nullptr;
    if (!captured_) return false;
    input = input_;
    return true;
}

void DesktopBackend::deliver(const Window& from, const Input& input) {
    if (!accepting_ || active() != &from) {
        // Not the window's turn: whatever its widget did on its own is undone.
        if (WindowWidget* w = widget(from)) w->followAll();
        return;
    }
    input_ = input;
    captured_ = true;
    accepting_ = false;  // one input per wait; what follows it in the queue is dropped
    if (loop_) loop_->quit();
}

bool DesktopBackend::heldOver(const QKeyEvent& key) {
    // A window system repeats a held key with the auto-repeat mark: such a key acts only on the
    // window that was shown when it went down (the same event passes here once per receiver).
    if (!key.isAutoRepeat()) {
        if (key.type() != QEvent::KeyRelease) keyDownAt_[key.key()] = shown_ + closed_;
        return false;
    }
    const auto it = keyDownAt_.find(key.key());
    return it == keyDownAt_.end() || it->second != shown_ + closed_;
}

void DesktopBackend::dropQueuedInput() {
    accepting_ = false;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void DesktopBackend::busyPause(Millis ms) {
    // Paint and the window system's other events go on; the operator's input waits in Qt's queue
    // and is dropped when the next window is shown.
    QEventLoop loop;
    QTimer::singleShot(int(std::clamp<Millis>(ms, 0, INT_MAX)), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

// ---- Following the model -----------------------------------------------------------------------

void DesktopBackend::windowOpened(const Window& window) {
    // The first window (the Welcome page) owns the others, which keeps them above it and out of
    // the task bar.
    QWidget* owner = open_.empty() ? nullptr : widget(*open_.front());
    auto* w = new WindowWidget(*this, window, owner);
    widgets_[&window] = w;
    open_.push_back(&window);
    if (window.visible) windowChanged(window, Change::Visibility, 0);
}

void DesktopBackend::windowChanged(const Window& window, Change change, int controlId) {
    WindowWidget* w = widget(window);
    if (!w) return;
    if (change != Change::Visibility) {
        w->follow(change, controlId);
        return;
    }
    if (!window.visible) {
        w->hide();
        return;
    }
    if (w->isVisible()) return;
    ++shown_;
    if (!w->property("placed").toBool()) {
        // Behind it: the most recent other window on screen, for a message box to stand over.
        const QWidget* over = nullptr;
        for (const Window* other : open_) {
            if (other != &window && other->visible && widget(*other)) over = widget(*other);
        }
        w->place(over);
        w->setProperty("placed", true);
        w->focusFirst();
    }
    w->show();
    w->raise();
    w->activateWindow();
}

void DesktopBackend::windowClosed(const Window& window, int) {
    open_.erase(std::remove(open_.begin(), open_.end(), &window), open_.end());
    auto it = widgets_.find(&window);
    if (it == widgets_.end()) return;
    WindowWidget* w = it->second;
    widgets_.erase(it);
    ++closed_;
    w->hide();
    delete w;
    // The window below takes the keys again.
    if (const Window* next = active(); next && next->visible && widget(*next))
        widget(*next)->activateWindow();
}

void DesktopBackend::inputIgnored(const Window& window, const Input&, const char*) {
    QApplication::beep();
    if (WindowWidget* w = widget(window)) w->followAll();
}

void DesktopBackend::clientSize(const Window& window, int& width, int& height) {
    if (WindowWidget* w = widget(window)) {
        width = w->width();
        height = w->height();
        return;
    }
    Backend::clientSize(window, width, height);
}

}  // namespace ui::desktop
