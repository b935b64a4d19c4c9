// The Welcome page: animation, Next to the port selection page, the About item, minimised paint.
#include "source/ReflasherDlg.h"

#include <fmt/printf.h>

#include "res/Strings.h"
#include "source/ChooseConnectionDlg.h"

namespace {
// Read and advanced by each tick on the user-interface thread only.
std::int32_t gAnimationCounter = 1;
}  // namespace

std::int32_t ReflasherDlg::AnimationCounter() {
    return gAnimationCounter;
}
void ReflasherDlg::SetAnimationCounter(std::int32_t value) {
    gAnimationCounter = value;
}

ReflasherDlg::ReflasherDlg(const WizardSurroundings& surroundings)
    : Dialog(res::idd::kWelcome),
      surroundings_(surroundings),
      icon_(ui::loadPicture(res::idi::kApplication)) {}

const ui::HandlerTable& ReflasherDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onTimer(&ReflasherDlg::onTimer),
        ui::onCommand(res::idc::kWelcomeNext, &ReflasherDlg::onNext),
        ui::onSysCommand(&ReflasherDlg::onSysCommand),
        ui::onPaint(&ReflasherDlg::onPaint),
        ui::onMessage(ui::msg::QueryDragIcon, &ReflasherDlg::onQueryDragIcon),
    };
    return table;
}

bool ReflasherDlg::onInitDialog() {
    Dialog::onInitDialog();
    if (hasWindowMenu()) {
        std::string about = res::LoadString(res::ids::kAboutMenu);
        if (!about.empty()) {
            appendWindowMenu(0, "");
            appendWindowMenu(kAboutCommand, about);
        }
    }
    setIcon(res::idi::kApplication, true);
    setIcon(res::idi::kApplication, false);
    setTimer(kAnimationTimer, kAnimationPeriodMs);
    setPicture(res::idc::kLogo, ui::loadPicture(res::idi::kLogo));
    setItemText(res::idc::kInstructions, fmt::sprintf(res::LoadString(res::ids::kWelcomeText),
                                                      res::LoadString(res::ids::kReceiverName)));
    return true;
}

void ReflasherDlg::onTimer(unsigned) {
    std::int32_t c = gAnimationCounter;
    // Advance with wrap-around: the counter is never reset, and overflow must not be undefined.
    gAnimationCounter = static_cast<std::int32_t>(static_cast<std::uint32_t>(c) + 1u);
    std::int32_t r = c % 16;  // the sign of c: negative counts show nothing new
    int bitmap = 0;
    if (r >= 1 && r <= res::idb::kAnimationFrames) bitmap = res::idb::kAnimation[r - 1];
    if (bitmap != 0) {
        frame_ =
            ui::loadPicture(bitmap);  // the previous frame is released once the control lets go
        setPicture(res::idc::kAnimation, frame_);
    }
}

void ReflasherDlg::onNext() {
    killTimer(kAnimationTimer);
    ChooseConnectionDlg dlg(surroundings_);
    if (dlg.doModal() == ui::Result::Cancel) endDialog(ui::Result::Cancel);
    setTimer(kAnimationTimer, kAnimationPeriodMs);
}

void ReflasherDlg::onSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == kAboutCommand) {
        AboutDlg about;
        about.doModal();
        return;
    }
    defaultHandling({ui::msg::SysCommand, command});
}

void ReflasherDlg::onPaint() {
    if (!isIconic()) return;  // the framework paints the controls
    sendMessage(ui::msg::IconEraseBkgnd);
    int cxIcon = iconSize(), cyIcon = iconSize();
    int width = 0, height = 0;
    clientSize(width, height);
    drawIcon((width - cxIcon + 1) / 2, (height - cyIcon + 1) / 2, icon_);
}

std::intptr_t ReflasherDlg::onQueryDragIcon(std::uintptr_t, std::intptr_t) {
    return icon_ ? icon_->id : 0;
}
