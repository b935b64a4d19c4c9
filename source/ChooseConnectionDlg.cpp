// The port selection page.
#include "source/ChooseConnectionDlg.h"

#include <fmt/printf.h>

#include "res/Strings.h"
#include "source/ConnectingDlg.h"
#include "source/RestoreDlg.h"

ChooseConnectionDlg::ChooseConnectionDlg(const WizardSurroundings& surroundings)
    : Dialog(res::idd::kChooseConnection), surroundings_(surroundings) {}

const ui::HandlerTable& ChooseConnectionDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(res::idc::kPortNext, &ChooseConnectionDlg::onNext),
        ui::onCommand(res::idc::kPortRestore, &ChooseConnectionDlg::onRestore),
        ui::onCommand(res::idc::kBack, &ChooseConnectionDlg::onBack),
    };
    return table;
}

bool ChooseConnectionDlg::onInitDialog() {
    Dialog::onInitDialog();
    // The list sorts; "COM Port 1" ... "COM Port 4" sort in port order, so index i is port i + 1.
    for (int id = res::ids::kComPort1; id <= res::ids::kComPort4; ++id)
        listAddString(res::idc::kPortList, res::LoadString(id));
    // COM Port 1, unless the front end was given this run's device as another COM port.
    const int first = surroundings_.firstPortIndex;
    listSetCurSel(res::idc::kPortList, first >= 0 && first < 4 ? first : 0);
    setItemText(res::idc::kInstructions, fmt::sprintf(res::LoadString(res::ids::kPortInstructions),
                                                      res::LoadString(res::ids::kReceiverName)));
    return true;
}

void ChooseConnectionDlg::onNext() {
    port_ = listGetCurSel(res::idc::kPortList) + 1;
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
    port_ = listGetCurSel(res::idc::kPortList) + 1;
    showWindow(false);
    RestoreDlg dlg(surroundings_);
    dlg.SetPort(port_);
    if (dlg.doModal() == ui::Result::Cancel) endDialog(ui::Result::Cancel);
    showWindow(true);  // after a Cancel the page is ending anyway
}

void ChooseConnectionDlg::onBack() {
    endDialog(ui::Result::OK);
}
