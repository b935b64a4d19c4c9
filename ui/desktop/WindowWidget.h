// One window of the framework's model as a QDialog: a page built from its dialog template, or a
// message box. It shows the model (follow) and turns the operator's clicks and keys into input
// for DesktopBackend::deliver; it never ends or changes itself.
#pragma once

#include <QDialog>

class QKeyEvent;

#include <cstddef>
#include <vector>

#include "ui/Backend.h"
#include "ui/desktop/DialogUnits.h"

namespace ui::desktop {

class DesktopBackend;

class WindowWidget : public QDialog {
  public:
    // `owner` (may be null) keeps the window above it and out of the task bar.
    WindowWidget(DesktopBackend& backend, const Window& window, QWidget* owner);

    const Window& model() const { return window_; }
    // Shows the model's state: of the whole window, or of control `controlId`.
    void follow(Change change, int controlId);
    void followAll();
    // The widget of control `id`, or nullptr.
    QWidget* controlWidget(int id) const;
    // Places the window: a page centred on the screen, a message box over `over` (when shown).
    void place(const QWidget* over);
    // Gives the focus to the first control in tab order that takes it.
    void focusFirst();
    void openWindowMenu(const QPoint& globalPosition);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    // The framework ends windows; Qt's own endings do nothing.
    void done(int) override {}
    void accept() override {}
    void reject() override {}

  private:
    void buildPage();
    void buildMessageBox();
    QWidget* makeControl(const res::ControlTemplate& tmpl);
    // Widens labels and radio buttons whose text is wider than the template made them, as far as
    // the free room to their right allows.
    void widenToTexts();
    // Plain letters on a drop-down list: the next entry that begins with the letter.
    bool listLetter(QWidget* list, const QKeyEvent& event);
    void followControl(std::size_t index);
    // Alt+letter, or a plain letter the focused control did not take: true when it meant something.
    bool mnemonic(int key);
    void send(const Input& input);

    DesktopBackend& backend_;
    const Window& window_;
    BaseUnits units_;
    std::vector<QWidget*> controls_;  // by index into window_.controls; owned by Qt as children
};

}  // namespace ui::desktop
