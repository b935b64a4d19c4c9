// The Welcome page (template 102) with its picture animation, and the About box (template 100).
#pragma once

#include <cstdint>

#include "source/Reflasher.h"
#include "ui/Dialog.h"

class AboutDlg : public ui::Dialog {
  public:
    AboutDlg() : Dialog(res::idd::kAbout) {}
};

class ReflasherDlg : public ui::Dialog {
  public:
    explicit ReflasherDlg(const WizardSurroundings& surroundings = {});

    static constexpr unsigned kAnimationTimer = 100;
    static constexpr unsigned kAnimationPeriodMs = 125;
    static constexpr unsigned kAboutCommand = 0x0010;

    // The process-wide animation counter (starts at 1, never reset); the setter is for tests.
    static std::int32_t AnimationCounter();
    static void SetAnimationCounter(std::int32_t value);

  protected:
    const ui::HandlerTable& handlers() const override;
    bool onInitDialog() override;

  private:
    void onTimer(unsigned timerId);
    void onNext();
    void onSysCommand(unsigned command);
    void onPaint();
    std::intptr_t onQueryDragIcon(std::uintptr_t, std::intptr_t);

    WizardSurroundings surroundings_;
    ui::PictureHandle icon_;   // the application icon, loaded at construction
    ui::PictureHandle frame_;  // the frame most recently loaded (none at first)
};
