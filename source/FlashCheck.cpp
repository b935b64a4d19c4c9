// The check after a flash, and the page that shows it is under way.
#include "source/FlashCheck.h"

#include "link/Conversation.h"
#include "res/Strings.h"
#include "ui/Dialog.h"

namespace {

// Posted to itself by the checking page on its first paint, as the connecting page does.
constexpr unsigned WM_CHECK_NOW = ui::msg::App + 2;

// The connecting page's template (148), showing which speed is being tried, and nothing to press
// while the receiver is asked: the whole check runs inside the handling of WM_CHECK_NOW.
class CheckingDlg : public ui::Dialog {
  public:
    CheckingDlg(const FlashToCheck& flash, std::uint32_t limitMs)
        : Dialog(res::idd::kConnecting), flash_(flash), limitMs_(limitMs) {}

    const Identification& found() const { return found_; }

  protected:
    const ui::HandlerTable& handlers() const override {
        static const ui::HandlerTable table = {
            ui::onPaint(&CheckingDlg::onPaint),
            ui::onMessage(WM_CHECK_NOW, &CheckingDlg::onCheckNow),
        };
        return table;
    }

  private:
    void onPaint() {
        if (!firstPaint_) return;
        firstPaint_ = false;
        setItemText(res::idc::kMessage,
                    res::LoadString(flash_.firstSpeed == 9600 ? res::ids::kConnecting9600
                                                              : res::ids::kConnecting19200));
        postMessage(WM_CHECK_NOW, 0, 0);
    }

    std::intptr_t onCheckNow(std::uintptr_t, std::intptr_t) {
        IdentifyRequest request;
        request.port = flash_.port;
        request.speeds = SpeedsStartingWith(flash_.firstSpeed);
        request.limitMs = limitMs_;
        request.pause = [](std::uint32_t ms) { ui::busyPause(ms); };
        request.attempting = [this](std::int32_t speed) {
            setItemText(res::idc::kMessage,
                        res::LoadString(speed == 9600 ? res::ids::kConnecting9600
                                                      : res::ids::kConnecting19200));
        };
        found_ = IdentifyAgain(request);
        endDialog(ui::Result::OK);
        return 0;
    }

    FlashToCheck flash_;
    std::uint32_t limitMs_;
    bool firstPaint_ = true;
    Identification found_;
};

}  // namespace

bool ReceiverConfirmsFlash(const FlashToCheck& flash, const WizardSurroundings& surroundings) {
    CheckingDlg page(flash, surroundings.checkLimitMs);
    page.doModal();
    const std::string newVersion = VersionFromFileName(flash.firmwareFile);
    const AfterFlash verdict = JudgeAfterFlash(page.found(), newVersion, flash.serialBefore);
    if (surroundings.flashChecked) surroundings.flashChecked(verdict, page.found());
    if (verdict == AfterFlash::Confirmed || verdict == AfterFlash::NoAnswer) return true;
    ui::messageBox(
        res::LoadString(flash.failureMessage) + std::string("\r\n\r\n") +
        AfterFlashLine(verdict, page.found(), newVersion, flash.serialBefore, flash.versionBefore));
    return false;
}
