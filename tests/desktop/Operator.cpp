#include "tests/desktop/Operator.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <climits>

#include "ui/desktop/DesktopBackend.h"

namespace desktop_test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTickMs = 10;
// A wizard that still waits this long after the script was used up is stuck: the script is wrong.
constexpr auto kIdleLimit = std::chrono::seconds(10);

QString withoutMnemonic(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

std::string name(const QWidget* w) {
    const QString n = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                                : w->objectName();
    return n.toStdString();
}

}  // namespace

Operator::Operator() = default;
Operator::~Operator() {
    stop();
}

Operator& Operator::add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

Operator& Operator::at(const std::string& title, std::string what,
                       std::function<void(QWidget*)> act) {
    return add({what + " on \"" + title + "\"", [this, title] { return window(title) != nullptr; },
                [this, title, act] { act(window(title)); }});
}

Operator& Operator::click(const std::string& title, int controlId) {
    return at(title, "click " + std::to_string(controlId), [this, controlId](QWidget* w) {
        QWidget* control = w->findChild<QWidget*>(QString::number(controlId));
        if (!control) return error("no control " + std::to_string(controlId));
        QTest::mouseClick(control, Qt::LeftButton);
    });
}

Operator& Operator::key(const std::string& title, int key, Qt::KeyboardModifiers modifiers) {
    const QString shortcut = QKeySequence(QKeyCombination(modifiers, Qt::Key(key))).toString();
    return at(title, "key " + shortcut.toStdString(), [key, modifiers](QWidget* w) {
        QWidget* target = w->focusWidget() ? w->focusWidget() : w;
        QTest::keyClick(target, Qt::Key(key), modifiers);
    });
}

Operator& Operator::pick(const std::string& title, int listId, int index) {
    return at(title, "pick entry " + std::to_string(index) + " of " + std::to_string(listId),
              [this, listId, index](QWidget* w) {
                  auto* list = w->findChild<QComboBox*>(QString::number(listId));
                  if (!list) return error("no list " + std::to_string(listId));
                  list->setFocus(Qt::MouseFocusReason);
                  list->showPopup();
                  // In the open list: to the entry, then Enter takes it.
                  QAbstractItemView* view = list->view();
                  QTest::keyClick(view, Qt::Key_Home);
                  for (int i = 0; i < index; ++i) QTest::keyClick(view, Qt::Key_Down);
                  QTest::keyClick(view, Qt::Key_Return);
              });
}

Operator& Operator::windowMenu(const std::string& title, const QString& text) {
    return at(title, "window menu " + text.toStdString(), [this, text](QWidget* w) {
        const QPoint at(4, w->height() - 4);
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
        QApplication::sendEvent(w, &rightClick);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return error("no window menu opened");
        for (QAction* action : menu->actions()) {
            if (withoutMnemonic(action->text()) == text) {
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        }
        menu->close();
        error("no window-menu item " + text.toStdString());
    });
}

Operator& Operator::check(const std::string& title, std::function<void(QWidget*)> look) {
    return at(title, "check", std::move(look));
}

Operator& Operator::when(std::string what, std::function<bool()> condition,
                         std::function<void()> act) {
    return add({std::move(what), std::move(condition), std::move(act)});
}

Operator& Operator::watch(std::function<void()> look) {
    watches_.push_back(std::move(look));
    return *this;
}

void Operator::start(ui::desktop::DesktopBackend& backend) {
    backend_ = &backend;
    timer_ = std::make_unique<QTimer>();
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { tick(); });
    timer_->start(kTickMs);
}

void Operator::stop() {
    timer_.reset();
    backend_ = nullptr;
}

QWidget* Operator::window(const std::string& title) const {
    if (!backend_ || !backend_->takingInput()) return nullptr;
    const ui::Window* active = backend_->activeWindow();
    if (!active || active->title != title) return nullptr;
    QWidget* w = backend_->widgetOf(*active);
    return w && w->isVisible() ? w : nullptr;
}

QWidget* Operator::shown(const std::string& title) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle().toStdString() == title) return w;
    }
    return nullptr;
}

QPlainTextEdit* Operator::console() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->objectName() == QLatin1String("console"))
            return qobject_cast<QPlainTextEdit*>(w);
    }
    return nullptr;
}

void Operator::typeIntoConsole(int key, Qt::KeyboardModifiers modifiers) {
    if (QPlainTextEdit* c = console()) QTest::keyClick(c, Qt::Key(key), modifiers);
}

void Operator::error(const std::string& what) {
    errors_.push_back(what);
}

std::string Operator::state() const {
    const ui::Window* active = backend_ ? backend_->activeWindow() : nullptr;
    std::string s = "active window \"" + (active ? active->title : std::string("none")) + "\"";
    s += backend_ && backend_->takingInput() ? ", taking input" : ", not taking input";
    if (console()) s += ", console open";
    return s;
}

void Operator::tick() {
    if (inTick_ || !backend_) return;
    inTick_ = true;
    for (auto& look : watches_) look();
    const ui::Window* active = backend_->activeWindow();
    const std::string title = active ? active->title : std::string();
    if (trail_.empty() || trail_.back() != title) trail_.push_back(title);
    const auto now = Clock::now();

    if (unwinding_) {
        // Escape until the wizard has ended: every page and box takes it.
        if (backend_->takingInput() && active) {
            QWidget* w = backend_->widgetOf(*active);
            if (w) QTest::keyClick(w->focusWidget() ? w->focusWidget() : w, Qt::Key_Escape);
        }
    } else if (steps_.empty()) {
        if (!backend_->takingInput()) {
            idleSince_ = {};
        } else if (idleSince_ == Clock::time_point{}) {
            idleSince_ = now;
        } else if (now - idleSince_ > kIdleLimit) {
            error("the script is used up, but the wizard still waits: " + state());
            unwinding_ = true;
        }
    } else {
        Step& step = steps_.front();
        if (!step.started) {
            step.started = true;
            step.deadline = now + kStepDeadline;
        }
        if (step.ready()) {
            std::function<void()> act = std::move(step.act);
            steps_.pop_front();
            if (act) act();
        } else if (now > step.deadline) {
            error("\"" + step.what + "\" did not become possible: " + state());
            steps_.clear();
            unwinding_ = true;
        }
    }
    inTick_ = false;
}

std::vector<std::string> layoutProblems(QWidget* window) {
    std::vector<std::string> problems;
    const std::string title = window->windowTitle().toStdString();
    auto problem = [&](const QWidget* w, const std::string& text) {
        problems.push_back(title + ": " + name(w) + " " + text);
    };
    for (QWidget* w : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (w->isWindow() || w->isHidden()) continue;
        if (!window->rect().contains(w->geometry())) problem(w, "lies outside the window");
        const QFontMetrics fm(w->font());
        const QStyle* style = w->style();
        auto needs = [&](int need, int have, const QString& text) {
            if (need > have)
                problem(w, QStringLiteral("\"%1\" needs %2 px, has %3")
                               .arg(text)
                               .arg(need)
                               .arg(have)
                               .toStdString());
        };
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            const QString text = withoutMnemonic(button->text());
            const int margins =
                2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                     style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
            needs(fm.horizontalAdvance(text) + margins, button->width(), text);
            needs(fm.height() + 4, button->height(), text);
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            const QString text = withoutMnemonic(radio->text());
            const int indicator =
                style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, radio) +
                style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, radio);
            needs(indicator + fm.horizontalAdvance(text) + 2, radio->width(), text);
            needs(fm.height(), radio->height(), text);
        } else if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            const QString text = withoutMnemonic(label->text());
            const QRect room = label->contentsRect();
            const QRect used = fm.boundingRect(
                QRect(0, 0, room.width(), INT_MAX / 2),
                int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0), text);
            needs(used.width(), room.width(), text);
            needs(used.height(), room.height(), text);
        } else if (auto* line = qobject_cast<QLineEdit*>(w)) {
            const int margins =
                line->hasFrame()
                    ? 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, line) + 4
                    : 4;
            needs(fm.horizontalAdvance(line->text()) + margins, line->width(), line->text());
            needs(fm.height(), line->height(), line->text());
        } else if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) {
            // A long text may scroll, but then its scroll bar must be there to show the rest.
            if (edit->verticalScrollBar()->maximum() > 0 && !edit->verticalScrollBar()->isVisible())
                problem(w, "has more text than it shows and no scroll bar");
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            needs(fm.horizontalAdvance(group->title()) + 16, group->width(), group->title());
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            needs(list->sizeHint().width(), list->width(), list->currentText());
        }
    }
    return problems;
}

}  // namespace desktop_test
