// Pages and message boxes as QDialogs: building them from the model, following it, and the
// operator's clicks and keys.
#include "ui/desktop/WindowWidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <cctype>

#include "ui/Dialog.h"
#include "ui/desktop/DesktopBackend.h"
#include "ui/desktop/QtPictures.h"

namespace ui::desktop {

namespace {

// The wizard's texts are 8-bit; their line ends are Windows' ones.
QString displayText(const std::string& text) {
    QString shown = QString::fromLatin1(text.data(), qsizetype(text.size()));
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

// The letter after the '&' of a control text, lower case, or 0.
char mnemonicOf(const std::string& text) {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&') continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return char(std::tolower(static_cast<unsigned char>(text[i + 1])));
    }
    return 0;
}

bool isButton(res::ControlKind kind) {
    return kind == res::ControlKind::PushButton || kind == res::ControlKind::DefPushButton;
}

// Read-only edits have the window's colour behind their text, as Windows draws them.
void showAsReadOnly(QWidget* edit) {
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit->setPalette(palette);
}

// Can take the focus by Tab now.
bool takesTabFocus(const QWidget* w) {
    return w && (w->focusPolicy() & Qt::TabFocus) && !w->isHidden() && w->isEnabled();
}

}  // namespace

WindowWidget::WindowWidget(DesktopBackend& backend, const Window& window, QWidget* owner)
    : QDialog(owner), backend_(backend), window_(window), units_(baseUnitsOf(font())) {
    setModal(true);
    if (window_.kind == WindowKind::MessageBox) {
        buildMessageBox();
    } else {
        buildPage();
    }
    followAll();
}

void WindowWidget::buildPage() {
    const res::DialogTemplate& t = *window_.tmpl;
    // No system-menu box: the caption shows only the title (the window menu is ours, see the
    // header); the application's main window stands in the task bar, the others above it.
    Qt::WindowFlags flags =
        (parentWidget() && !(t.style & res::kDlgTaskBar)) ? Qt::Dialog : Qt::Window;
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (t.style & res::kDlgSysMenuBox)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
    setFixedSize(toPixelsX(units_, t.cx), toPixelsY(units_, t.cy));

    for (const Control& c : window_.controls) controls_.push_back(makeControl(*c.tmpl));
    // Template order is tab order; a label's mnemonic leads to the control after it.
    QWidget* previous = nullptr;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        QWidget* w = controls_[i];
        if (!(w->focusPolicy() & Qt::TabFocus)) continue;
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
    widenToTexts();
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        auto* label = dynamic_cast<QLabel*>(controls_[i]);
        if (!label || mnemonicOf(window_.controls[i].text) == 0) continue;
        for (std::size_t j = i + 1; j < controls_.size(); ++j) {
            if (controls_[j]->focusPolicy() & Qt::TabFocus) {
                label->setBuddy(controls_[j]);
                break;
            }
        }
    }
}

QWidget* WindowWidget::makeControl(const res::ControlTemplate& t) {
    QWidget* w = nullptr;
    const int id = t.id;
    switch (t.kind) {
        case res::ControlKind::Label: {
            auto* label = new QLabel(this);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(true);  // static text wraps, as Windows' does
            label->setAlignment(((t.style & res::kCentered) ? Qt::AlignHCenter : Qt::AlignLeft) |
                                Qt::AlignTop);
            if (t.style & res::kSunken) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            w = label;
            break;
        }
        case res::ControlKind::GroupBox:
            w = new QGroupBox(this);
            break;
        case res::ControlKind::Edit:
            if (t.style & res::kMultiLine) {
                auto* edit = new QPlainTextEdit(this);
                edit->setReadOnly(true);
                edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
                edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
                // With a scroll bar in the template it is always there; without one the text still
                // scrolls, with a bar shown only when it does not fit.
                edit->setVerticalScrollBarPolicy((t.style & res::kVScroll) ? Qt::ScrollBarAlwaysOn
                                                                           : Qt::ScrollBarAsNeeded);
                if (t.style & res::kNoBorder) edit->setFrameStyle(QFrame::NoFrame);
                showAsReadOnly(edit);
                showAsReadOnly(edit->viewport());
                w = edit;
            } else {
                auto* edit = new QLineEdit(this);
                edit->setReadOnly(true);
                edit->setFrame(!(t.style & res::kNoBorder));
                showAsReadOnly(edit);
                w = edit;
            }
            // The window menu, not the text's own, opens on a right click.
            w->setContextMenuPolicy(Qt::NoContextMenu);
            w->setFocusPolicy((t.style & res::kTabStop) ? Qt::StrongFocus : Qt::ClickFocus);
            break;
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton: {
            auto* button = new QPushButton(displayText(t.text), this);
            button->setShortcut(QKeySequence());  // mnemonics are the page's (see mnemonic)
            button->setAutoDefault(true);         // the focused button takes Enter
            button->setDefault(t.kind == res::ControlKind::DefPushButton);
            button->setFocusPolicy(Qt::StrongFocus);
            connect(button, &QAbstractButton::clicked, this, [this, id] {
                send({InputKind::Press, id});
            });
            w = button;
            break;
        }
        case res::ControlKind::RadioButton: {
            auto* radio = new QRadioButton(displayText(t.text), this);
            radio->setShortcut(QKeySequence());
            radio->setFocusPolicy((t.style & res::kTabStop) ? Qt::StrongFocus : Qt::ClickFocus);
            connect(radio, &QAbstractButton::clicked, this, [this, id] {
                send({InputKind::Press, id});
            });
            w = radio;
            break;
        }
        case res::ControlKind::DropList: {
            auto* list = new QComboBox(this);
            list->setFocusPolicy(Qt::StrongFocus);
            connect(list, &QComboBox::activated, this, [this, id](int index) {
                send({InputKind::Select, id, index});
            });
            w = list;
            break;
        }
        case res::ControlKind::IconPicture:
        case res::ControlKind::BitmapPicture:
            w = new QLabel(this);
            break;
    }
    if (id != res::kStaticId) w->setObjectName(QString::number(id));
    if (window_.kind == WindowKind::Dialog) {
        QRect r = toPixels(units_, t.x, t.y, t.cx, t.cy);
        if (t.kind == res::ControlKind::DropList) {
            // The template's height is the dropped list's; the closed one is as high as its text.
            auto* list = static_cast<QComboBox*>(w);
            const int closed = list->sizeHint().height();
            list->setMaxVisibleItems(
                std::max(1, (r.height() - closed) / std::max(1, list->fontMetrics().height())));
            r.setHeight(closed);
        }
        w->setGeometry(r);
    }
    w->installEventFilter(this);  // Alt+letter is the page's, even on the list
    return w;
}

void WindowWidget::widenToTexts() {
    // The templates were measured in another font; where a text is wider in this one, it gets the
    // room it needs rather than being cut, if the page has that room.
    const int margin = toPixelsX(units_, 4);
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const res::ControlTemplate& t = *window_.controls[i].tmpl;
        QWidget* w = controls_[i];
        int needed = 0;
        if (t.kind == res::ControlKind::RadioButton) {
            needed = w->sizeHint().width();
        } else if (t.kind == res::ControlKind::Label) {
            auto* label = static_cast<QLabel*>(w);
            QString text = displayText(t.text);
            text.remove(QRegularExpression(QStringLiteral("&(?!&)")));
            needed = label->fontMetrics().horizontalAdvance(text) + 2 * label->frameWidth() + 2;
        }
        const QRect r = w->geometry();
        if (needed <= r.width()) continue;
        int limit = width() - margin;
        for (std::size_t j = 0; j < controls_.size(); ++j) {
            if (j == i) continue;
            const QRect other = controls_[j]->geometry();
            if (window_.controls[j].tmpl->kind == res::ControlKind::GroupBox && other.contains(r)) {
                limit = std::min(limit, other.right() - margin);  // stays inside its frame
            } else if (other.left() >= r.right() && other.top() < r.bottom() &&
                       other.bottom() > r.top()) {
                limit = std::min(limit, other.left() - margin / 2);  // stops short of its neighbour
            }
        }
        const int widest = limit - r.left();
        if (widest > r.width()) w->resize(std::min(needed, widest), r.height());
    }
}

bool WindowWidget::listLetter(QWidget* list, const QKeyEvent& event) {
    const Qt::KeyboardModifiers modifiers =
        event.modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    const QString typed = event.text();
    if (modifiers != Qt::NoModifier || typed.size() != 1 || !typed[0].isLetterOrNumber())
        return false;
    auto* combo = static_cast<QComboBox*>(list);
    const int n = combo->count();
    for (int k = 1; k <= n; ++k) {
        const int i = (std::max(combo->currentIndex(), -1) + k + n) % n;
        if (combo->itemText(i).startsWith(typed, Qt::CaseInsensitive)) {
            if (i != combo->currentIndex())
                send({InputKind::Select, list->objectName().toInt(), i});
            break;
        }
    }
    return true;  // taken by the list, whether an entry begins with it or not
}

void WindowWidget::buildMessageBox() {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    auto* layout = new QGridLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    const int margin = toPixelsX(units_, 7);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setHorizontalSpacing(margin);
    layout->setVerticalSpacing(toPixelsY(units_, 10));
    int column = 0;
    if (window_.icon == MessageIcon::Exclamation) {
        auto* icon = new QLabel(this);
        icon->setObjectName(QStringLiteral("icon"));
        const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
        icon->setPixmap(
            style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(size, size));
        layout->addWidget(icon, 0, 0, Qt::AlignTop);
        column = 1;
    }
    // Wrapped at about 60 average characters, as long message boxes are; sized here, since a
    // wrapping label does not tell a layout its height.
    auto* text = new QLabel(displayText(window_.text), this);
    text->setObjectName(QStringLiteral("text"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    const QFontMetrics metrics(text->font());
    const int widest = toPixelsX(units_, 4 * 60);
    const QRect natural = metrics.boundingRect(QRect(0, 0, widest, 100000),
                                               Qt::AlignLeft | Qt::TextWordWrap, text->text());
    text->setFixedSize(natural.width() + 2, natural.height() + 2);
    layout->addWidget(text, 0, column, Qt::AlignVCenter);
    for (const Control& c : window_.controls) {
        QWidget* button = makeControl(*c.tmpl);
        button->setMinimumSize(toPixelsX(units_, c.tmpl->cx), toPixelsY(units_, c.tmpl->cy));
        layout->addWidget(button, 1, 0, 1, column + 1, Qt::AlignHCenter);
        controls_.push_back(button);
    }
}

QWidget* WindowWidget::controlWidget(int id) const {
    if (id == res::kStaticId) return nullptr;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        if (window_.controls[i].id == id) return controls_[i];
    }
    return nullptr;
}

void WindowWidget::followAll() {
    setWindowTitle(displayText(window_.title));
    follow(Change::Icon, 0);
    for (std::size_t i = 0; i < controls_.size(); ++i) followControl(i);
}

void WindowWidget::follow(Change change, int controlId) {
    switch (change) {
        case Change::Visibility:
        case Change::WindowMenu:
            return;  // the back end shows and hides; the menu is built when it opens
        case Change::Iconic:
            if (window_.iconic && !isMinimized()) showMinimized();
            if (!window_.iconic && isMinimized()) showNormal();
            return;
        case Change::Title:
            setWindowTitle(displayText(window_.title));
            return;
        case Change::Icon: {
            const int id = window_.largeIcon ? window_.largeIcon : window_.smallIcon;
            if (id != 0) setWindowIcon(iconOf(id));
            return;
        }
        default:
            break;
    }
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        if (window_.controls[i].id == controlId) followControl(i);
    }
}

void WindowWidget::followControl(std::size_t index) {
    const Control& c = window_.controls[index];
    QWidget* w = controls_[index];
    w->setEnabled(c.enabled);
    w->setVisible(c.visible);
    switch (c.tmpl->kind) {
        case res::ControlKind::Label:
            static_cast<QLabel*>(w)->setText(displayText(c.text));
            break;
        case res::ControlKind::GroupBox:
            static_cast<QGroupBox*>(w)->setTitle(displayText(c.text));
            break;
        case res::ControlKind::Edit:
            if (auto* edit = dynamic_cast<QPlainTextEdit*>(w)) {
                if (edit->toPlainText() != displayText(c.text))
                    edit->setPlainText(displayText(c.text));
            } else {
                auto* line = static_cast<QLineEdit*>(w);
                line->setText(displayText(c.text));
                line->setCursorPosition(0);  // the beginning of a text that does not fit
            }
            break;
        case res::ControlKind::RadioButton: {
            // An exclusive button cannot be unchecked directly; the model may have none checked.
            auto* radio = static_cast<QRadioButton*>(w);
            radio->setAutoExclusive(false);
            radio->setChecked(c.checked);
            radio->setAutoExclusive(true);
            break;
        }
        case res::ControlKind::DropList: {
            auto* list = static_cast<QComboBox*>(w);
            QStringList items;
            for (const std::string& item : c.items) items << displayText(item);
            QStringList shown;
            for (int i = 0; i < list->count(); ++i) shown << list->itemText(i);
            if (shown != items) {
                list->clear();
                list->addItems(items);
            }
            list->setCurrentIndex(c.selection);
            break;
        }
        case res::ControlKind::IconPicture:
        case res::ControlKind::BitmapPicture: {
            // A picture control takes the size of its picture, as Windows' do.
            auto* label = static_cast<QLabel*>(w);
            if (!c.picture) {
                label->clear();
                break;
            }
            const QPixmap pixmap = pixmapOf(*c.picture);
            label->setPixmap(pixmap);
            label->resize(pixmap.size());
            break;
        }
        case res::ControlKind::PushButton:
        case res::ControlKind::DefPushButton:
            break;  // buttons keep their template text
    }
}

void WindowWidget::place(const QWidget* over) {
    QRect area;
    if (window_.kind == WindowKind::MessageBox && over && over->isVisible()) {
        area = over->frameGeometry();
    } else {
        const QScreen* screen =
            parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (!screen) return;
        area = screen->availableGeometry();
    }
    adjustSize();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

void WindowWidget::focusFirst() {
    for (QWidget* w : controls_) {
        if (!takesTabFocus(w)) continue;
        if (auto* radio = dynamic_cast<QRadioButton*>(w); radio && !radio->isChecked()) {
            // A radio group is one stop: its checked button when it has one.
            bool groupChecked = false;
            for (QWidget* other : controls_) {
                auto* r = dynamic_cast<QRadioButton*>(other);
                groupChecked = groupChecked || (r && r->isChecked() && takesTabFocus(r));
            }
            if (groupChecked) continue;
        }
        w->setFocus(Qt::TabFocusReason);
        return;
    }
}

void WindowWidget::openWindowMenu(const QPoint& globalPosition) {
    if (window_.kind != WindowKind::Dialog || !(window_.tmpl->style & res::kDlgCaption)) return;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("window-menu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto add = [&](unsigned command, const QString& text) {
        QAction* action = menu->addAction(text);
        action->setData(command);
        connect(action, &QAction::triggered, this, [this, command] {
            send({InputKind::WindowMenu, 0, 0, command});
        });
    };
    if (window_.iconic) {
        add(kScRestore, QStringLiteral("&Restore"));
    } else {
        add(kScMinimize, QStringLiteral("Mi&nimize"));
    }
    add(kScClose, QStringLiteral("&Close"));
    for (const MenuItem& item : window_.windowMenu) {
        if (item.command == 0) {
            menu->addSeparator();
        } else {
            add(item.command, displayText(item.text));
        }
    }
    menu->popup(globalPosition);
}

void WindowWidget::send(const Input& input) {
    backend_.deliver(window_, input);
}

bool WindowWidget::mnemonic(int key) {
    char letter = 0;
    if (key >= Qt::Key_A && key <= Qt::Key_Z) letter = char('a' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9) letter = char('0' + (key - Qt::Key_0));
    if (letter == 0) return false;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const Control& c = window_.controls[i];
        if (!c.visible || !c.enabled || mnemonicOf(c.text) != letter) continue;
        const res::ControlKind kind = c.tmpl->kind;
        if (isButton(kind) || kind == res::ControlKind::RadioButton) {
            controls_[i]->setFocus(Qt::ShortcutFocusReason);
            send({InputKind::Press, c.id});
            return true;
        }
        if (kind == res::ControlKind::Label || kind == res::ControlKind::GroupBox) {
            for (std::size_t j = i + 1; j < controls_.size(); ++j) {
                if (takesTabFocus(controls_[j])) {
                    controls_[j]->setFocus(Qt::ShortcutFocusReason);
                    break;
                }
            }
            return true;
        }
    }
    return false;
}

bool WindowWidget::eventFilter(QObject* watched, QEvent* event) {
    // Alt+letter and Alt+Space belong to the page, also where the focused control would take the
    // letter (a list) or the space (a button would press itself).
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // The list's letters, as Windows' and the terminal's lists take them: each press, the next
        // entry that begins with it (Qt's own search would gather the letters into a word).
        if (dynamic_cast<QComboBox*>(watched) && listLetter(static_cast<QWidget*>(watched), *key))
            return true;
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier &&
            key->key() == Qt::Key_F10) {
            openWindowMenu(mapToGlobal(QPoint(0, 0)));
            return true;
        }
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::AltModifier) {
            if (key->key() == Qt::Key_Space) {
                openWindowMenu(mapToGlobal(QPoint(0, 0)));
                return true;
            }
            if (mnemonic(key->key())) return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void WindowWidget::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    if (modifiers == Qt::NoModifier && key == Qt::Key_Escape) {
        send({InputKind::Escape});
        return;
    }
    if (modifiers == Qt::NoModifier && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
        send({InputKind::Enter});  // the focused button took its Enter itself: this is the default
                                   // one's
        return;
    }
    if ((modifiers == Qt::AltModifier && key == Qt::Key_Space) ||
        (modifiers == Qt::ShiftModifier && key == Qt::Key_F10)) {
        openWindowMenu(mapToGlobal(QPoint(0, 0)));
        return;
    }
    // A plain letter reaches the page only when the focused control did not take it.
    if ((modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier ||
         modifiers == Qt::AltModifier) &&
        mnemonic(key))
        return;
    QDialog::keyPressEvent(event);
}

void WindowWidget::closeEvent(QCloseEvent* event) {
    // The window manager's close button or Alt+F4: the framework decides (Cancel on a page).
    event->ignore();
    if (window_.kind == WindowKind::MessageBox) {
        send({InputKind::Escape});
    } else {
        send({InputKind::WindowMenu, 0, 0, kScClose});
    }
}

void WindowWidget::contextMenuEvent(QContextMenuEvent* event) {
    openWindowMenu(event->globalPos());
}

void WindowWidget::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || window_.kind != WindowKind::Dialog) return;
    // Minimised or restored by the window manager: the page hears it as from its window menu.
    if (isMinimized() && !window_.iconic) send({InputKind::WindowMenu, 0, 0, kScMinimize});
    if (!isMinimized() && window_.iconic) send({InputKind::WindowMenu, 0, 0, kScRestore});
}

}  // namespace ui::desktop
