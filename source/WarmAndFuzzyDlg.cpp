// The completion page.
#include "source/WarmAndFuzzyDlg.h"

#include <fmt/printf.h>

#include "res/Strings.h"
#include "link/Conversation.h"

WarmAndFuzzyDlg::WarmAndFuzzyDlg(const WizardSurroundings&) : Dialog(152) {}

void WarmAndFuzzyDlg::SetUpdateText(std::string serialNumber, std::string oldVersion, std::string firmwareFile) {
    message_ = fmt::sprintf(res::LoadString(124), serialNumber, oldVersion, VersionFromFileName(firmwareFile));
}

void WarmAndFuzzyDlg::SetRestoreText(std::string firmwareFile) {
    message_ = fmt::sprintf(res::LoadString(127), VersionFromFileName(firmwareFile));
}

const ui::HandlerTable& WarmAndFuzzyDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(1031, &WarmAndFuzzyDlg::onYes),
        ui::onCommand(1032, &WarmAndFuzzyDlg::onNo),
    };
    return table;
}

void WarmAndFuzzyDlg::doDataExchange(ui::DataExchange& dx) { ui::ddxText(dx, 1005, message_); }

void WarmAndFuzzyDlg::onYes() { onOK(); }

void WarmAndFuzzyDlg::onNo() { endDialog(ui::Result::Cancel); }
