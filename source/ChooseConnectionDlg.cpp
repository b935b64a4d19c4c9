// The port selection page.
#include "source/ChooseConnectionDlg.h"

#include <fmt/printf.h>

#include "res/Strings.h"
#include "source/ConnectingDlg.h"
#include "source/RestoreDlg.h"

ChooseConnectionDlg::ChooseConnectionDlg(const WizardSurroundings& surroundings)
    : Dialog(147), surroundings_(surroundings) {}

const ui::HandlerTable& ChooseConnectionDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(1006, &ChooseConnectionDlg::onNext),
        ui::onCommand(1020, &ChooseConnectionDlg::onRestore),
        ui::onCommand(1013, &ChooseConnectionDlg::onBack),
    };
    return table;
}

bool ChooseConnectionDlg::onInitDialog() {
    Dialog::onInitDialog();
    // The list sorts; "COM Port 1" ... "COM Port 4" sort in port order, so index i is port i + 1.
    for (int id = 116; id <= 119; ++id) listAddString(1007, res::LoadString(id));
    // COM Port 1, unless the front end was given this run's device as another COM port.
    const int first = surroundings_.firstPortIndex;
    listSetCurSel(1007, first >= 0 && first < 4 ? first : 0);
    setItemText(1027, fmt::sprintf(res::LoadString(122), res::LoadString(106)));
    return true;
}

void ChooseConnectionDlg::onNext() {
    port_ = listGetCurSel(1007) + 1;
    showWindow(false);
    ConnectingDlg dlg(surroundings_);
    dlg.SetPort(port_);
    if (dlg.doModal() == ui::Result::Cancel) {
        endDialog(ui::Result::Cancel);
    } else {
        showWindow(true);
    }
}

void ChooseConnectionDlg::onRestore() {
    port_ = listGetCurSel(1007) + 1;
    showWindow(false);
    RestoreDlg dlg(surroundings_);
    dlg.SetPort(port_);
    if (dlg.doModal() == ui::Result::Cancel) endDialog(ui::Result::Cancel);
    showWindow(true);  // after a Cancel the page is ending anyway
}

void ChooseConnectionDlg::onBack() { endDialog(ui::Result::OK); }
