// The flasher's console: the pseudo-terminal, and its window.
#include "ui/desktop/Console.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "res/Resource.h"
#include "ui/desktop/DesktopBackend.h"
#include "ui/desktop/QtPictures.h"

namespace ui::desktop {

namespace {

// A console attribute's colour (the low four bits: blue, green, red, bright).
QColor consoleColour(int index) {
    static const QRgb kColours[16] = {
        0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
        0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF,
    };
    return QColor(kColours[index & 0x0F]);
}

// The bytes a terminal sends for a key, or nothing for keys the flasher has no use for.
std::string bytesOf(const QKeyEvent& event) {
    const Qt::KeyboardModifiers modifiers = event.modifiers() & ~Qt::KeypadModifier;
    const int key = event.key();
    if (modifiers == Qt::ControlModifier && key >= Qt::Key_A && key <= Qt::Key_Z)
        return std::string(
            1, char(key - Qt::Key_A + 1));  // Ctrl+C: 0x03, which the terminal makes SIGINT
    switch (key) {
        case Qt::Key_Escape:
            return "\x1b";
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return "\r";
        case Qt::Key_Backspace:
            return "\x7f";
        case Qt::Key_Tab:
            return "\t";
        case Qt::Key_Up:
            return "\x1b[A";
        case Qt::Key_Down:
            return "\x1b[B";
        case Qt::Key_Right:
            return "\x1b[C";
        case Qt::Key_Left:
            return "\x1b[D";
        default:
            break;
    }
    if (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return {};
    const QByteArray text = event.text().toUtf8();
    if (text.isEmpty() || static_cast<unsigned char>(text[0]) < 0x20) return {};
    return text.toStdString();
}

}  // namespace

// The window: the console's lines, black on light grey (or whatever the fill attribute says),
// every key to the flasher. It does not close on request while the flasher runs: a flasher cut
// off in the middle of a write leaves the receiver without firmware; Escape and Ctrl+C ask it.
class ConsoleView : public QPlainTextEdit {
  public:
    explicit ConsoleView(FlasherConsole& console) : console_(console) {
        setObjectName(QStringLiteral("console"));
        setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowMinimizeButtonHint);
        setWindowModality(Qt::ApplicationModal);
        setWindowIcon(iconOf(res::idi::kApplication));
        setReadOnly(true);
        // Read-only but with the text cursor shown: where the flasher writes next.
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        setContextMenuPolicy(Qt::NoContextMenu);
        setUndoRedoEnabled(false);
        setLineWrapMode(QPlainTextEdit::NoWrap);  // ConsoleText wraps at the console's width
        setFrameStyle(QFrame::NoFrame);
        setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        const QFontMetrics metrics(font());
        const int margins = 2 * int(document()->documentMargin()) + 4;
        resize(FlasherConsole::kColumns * metrics.horizontalAdvance(QLatin1Char('0')) + margins +
                   verticalScrollBar()->sizeHint().width(),
               FlasherConsole::kRows * metrics.lineSpacing() + margins);
    }

    void setColours(int fillAttribute) {
        QPalette p = palette();
        for (QPalette::ColorRole role : {QPalette::Base, QPalette::Window})
            p.setColor(role, consoleColour(fillAttribute >> 4));
        p.setColor(QPalette::Text, consoleColour(fillAttribute));
        setPalette(p);
        viewport()->setPalette(p);
    }

    void showText(const ConsoleText& text) {
        const QString shown = QString::fromLatin1(text.text());
        if (shown != toPlainText()) setPlainText(shown);
        QTextCursor cursor(document()->findBlockByNumber(text.cursorRow()));
        cursor.movePosition(QTextCursor::EndOfBlock);
        const int end = cursor.positionInBlock();
        cursor.movePosition(QTextCursor::StartOfBlock);
        cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor,
                            std::min(end, text.cursorColumn()));
        setTextCursor(cursor);
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    }

  protected:
    bool event(QEvent* e) override {
        switch (e->type()) {
            case QEvent::ShortcutOverride:
                e->accept();  // every key is the flasher's, Ctrl+C included (no copying here)
                return true;
            case QEvent::KeyPress: {
                const std::string bytes = bytesOf(*static_cast<QKeyEvent*>(e));
                if (!bytes.empty()) console_.type(bytes);
                return true;
            }
            case QEvent::KeyRelease:
                return true;
            default:
                return QPlainTextEdit::event(e);
        }
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
    }  // the console goes when the flasher ends

  private:
    FlasherConsole& console_;
};

std::unique_ptr<FlasherConsole> FlasherConsole::create(std::string& error) {
    std::unique_ptr<FlasherConsole> console(new FlasherConsole());
    console->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (console->master_ < 0 || grantpt(console->master_) != 0 || unlockpt(console->master_) != 0 ||
        ptsname_r(console->master_, name, sizeof name) != 0) {
        error =
            std::string("no pseudo-terminal for the flasher's console: ") + std::strerror(errno);
        return nullptr;
    }
    console->terminalPath_ = name;
    console->slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console->slave_ < 0 || tcgetattr(console->slave_, &console->initialModes_) != 0) {
        error = "cannot open the flasher's console " + console->terminalPath_ + ": " +
                std::strerror(errno);
        return nullptr;
    }
    winsize size{};
    size.ws_row = kRows;
    size.ws_col = kColumns;
    ioctl(console->master_, TIOCSWINSZ, &size);
    fcntl(console->master_, F_SETFL, fcntl(console->master_, F_GETFL) | O_NONBLOCK);
    return console;
}

FlasherConsole::~FlasherConsole() {
    view_.reset();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

QWidget* FlasherConsole::window() const {
    return view_.get();
}

void FlasherConsole::open(const std::string& title, int fillAttribute) {
    // An earlier flasher may have left its modes, and keys typed after it ended wait unread.
    tcsetattr(slave_, TCSANOW, &initialModes_);
    tcflush(slave_, TCIOFLUSH);
    char discard[4096];
    while (read(master_, discard, sizeof discard) > 0) {
    }
    text_.clear();
    if (!view_) view_ = std::make_unique<ConsoleView>(*this);
    view_->setWindowTitle(QString::fromLatin1(title));
    view_->setColours(fillAttribute);
    view_->showText(text_);
    view_->show();
    view_->raise();
    view_->activateWindow();
    view_->setFocus(Qt::OtherFocusReason);
}

void FlasherConsole::pump() {
    char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // nothing more now (EAGAIN)
        text_.feed(buffer, std::size_t(n));
        changed = true;
    }
    if (changed && view_) view_->showText(text_);
}

void FlasherConsole::close() {
    pump();
    if (!view_) return;
    view_.reset();
}

void FlasherConsole::type(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the terminal's queue is full: nobody reads; the key is lost
        done += std::size_t(n);
    }
}

// ---- The back end's side -----------------------------------------------------------------------

bool DesktopBackend::prepareConsole(std::string& error) {
    if (console_) return true;
    console_ = FlasherConsole::create(error);
    return console_ != nullptr;
}

std::string DesktopBackend::terminal() const {
    return console_ ? console_->terminal() : std::string();
}

void DesktopBackend::lend(const std::string& title, int fillAttribute) {
    if (!console_) return;
    console_->open(title, fillAttribute);
    ++shown_;
}

bool DesktopBackend::keepGoing() {
    if (!console_) return false;
    console_->pump();
    // The console's keys and every window's painting; the pages' input is dropped by the gate.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return true;
}

void DesktopBackend::takeBack() {
    if (console_) console_->close();
}

}  // namespace ui::desktop
