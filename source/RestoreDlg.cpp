// The restore page.
#include "source/RestoreDlg.h"

#include "res/Resource.h"
#include "source/FlashCheck.h"
#include "source/WarmAndFuzzyDlg.h"

RestoreDlg::RestoreDlg(const WizardSurroundings& surroundings)
    : Dialog(res::idd::kRestore), surroundings_(surroundings) {}

const ui::HandlerTable& RestoreDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(res::idc::kRestore, &RestoreDlg::onRestore),
        ui::onCommand(res::idc::kBack, &RestoreDlg::onBack),
    };
    return table;
}

void RestoreDlg::doDataExchange(ui::DataExchange& dx) {
    ui::ddxRadio(dx, res::idc::kWhiteTop, design_);
}

void RestoreDlg::onRestore() {
    updateData(true);
    showWindow(false);
    std::string firmwareFile = surroundings_.firmwareName(design_ == 0 ? res::ids::kFirmwareViz
                                                                       : res::ids::kFirmwareOther);
    FlasherResult result =
        RunFlasher(firmwareFile, port_, 9600, 9600, surroundings_.restoreCompletionLimitMs,
                   res::ids::kRestoreFailed, surroundings_.forFlasher());
    // A restored receiver has no serial number to compare and was never found at a speed: it must
    // run the new version, asked as the connecting page asks.
    if (result != FlasherResult::Succeeded ||
        !ReceiverConfirmsFlash({port_, 19200, firmwareFile, {}, {}, res::ids::kRestoreFailed},
                               surroundings_)) {
        showWindow(true);
        return;
    }
    WarmAndFuzzyDlg dlg(surroundings_);
    dlg.SetRestoreText(firmwareFile);
    if (dlg.doModal() == ui::Result::Cancel) {
        endDialog(ui::Result::Cancel);
    } else {
        onOK();
    }
}

void RestoreDlg::onBack() {
    onOK();
}
