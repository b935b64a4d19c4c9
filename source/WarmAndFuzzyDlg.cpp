// The completion page.
#include "source/WarmAndFuzzyDlg.h"

#include <fmt/printf.h>

#include "res/Strings.h"
#include "link/Conversation.h"

WarmAndFuzzyDlg::WarmAndFuzzyDlg(const WizardSurroundings&) : Dialog(res::idd::kWarmAndFuzzy) {}

void WarmAndFuzzyDlg::SetUpdateText(std::string serialNumber, std::string oldVersion,
                                    std::string firmwareFile) {
    message_ = fmt::sprintf(res::LoadString(res::ids::kUpdated), serialNumber, oldVersion,
                            VersionFromFileName(firmwareFile));
}

void WarmAndFuzzyDlg::SetRestoreText(std::string firmwareFile) {
    message_ =
        fmt::sprintf(res::LoadString(res::ids::kRestored), VersionFromFileName(firmwareFile));
}

const ui::HandlerTable& WarmAndFuzzyDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(res::idc::kYes, &WarmAndFuzzyDlg::onYes),
        ui::onCommand(res::idc::kNo, &WarmAndFuzzyDlg::onNo),
    };
    return table;
}

void WarmAndFuzzyDlg::doDataExchange(ui::DataExchange& dx) {
    ui::ddxText(dx, res::idc::kMessage, message_);
}

void WarmAndFuzzyDlg::onYes() {
    onOK();
}

void WarmAndFuzzyDlg::onNo() {
    endDialog(ui::Result::Cancel);
}
