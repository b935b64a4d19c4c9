// The receiver information page.
#include "source/ReceiverInfoDlg.h"

#include <algorithm>
#include <fmt/printf.h>

#include "res/Strings.h"
#include "source/FlashCheck.h"
#include "source/WarmAndFuzzyDlg.h"

namespace {
std::string lastChars(const std::string& s, std::size_t n) {
    return s.size() <= n ? s : s.substr(s.size() - n);
}
}  // namespace

ReceiverInfoDlg::ReceiverInfoDlg(const WizardSurroundings& surroundings)
    : Dialog(res::idd::kReceiverInfo), surroundings_(surroundings) {}

void ReceiverInfoDlg::SetReceiverData(const std::int32_t& port, const std::int32_t& connectSpeed,
                                      std::string serialNumber, std::string firmwareVersion,
                                      const std::int32_t& externalPower,
                                      const std::int32_t& batteryLevel) {
    port_ = port;
    connectSpeed_ = connectSpeed;
    // Shown and passed on only in visible form. The firmware choice is the same either way: a
    // serial number that begins with "VIZ" keeps it, and one with a control character among its
    // first three characters never had it.
    serialNumber_ = VisibleText(serialNumber);
    firmwareVersion_ = std::move(firmwareVersion);
    externalPower_ = externalPower;
    batteryLevel_ = batteryLevel;
    transferSpeed_ = connectSpeed_ == 9600 ? 9600 : 115200;
    statusLine_ = fmt::sprintf(res::LoadString(res::ids::kConnectedAt), port_, connectSpeed_);
    shownVersion_ = VisibleText(lastChars(firmwareVersion_, 3));
}

const ui::HandlerTable& ReceiverInfoDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onCommand(res::idc::kUpdate, &ReceiverInfoDlg::onUpdate),
        ui::onCommand(res::idc::kBack, &ReceiverInfoDlg::onBack),
    };
    return table;
}

void ReceiverInfoDlg::doDataExchange(ui::DataExchange& dx) {
    ui::ddxText(dx, res::idc::kSerialNumber, serialNumber_);
    ui::ddxText(dx, res::idc::kConnection, statusLine_);
    ui::ddxText(dx, res::idc::kFirmwareVersion, shownVersion_);
}

bool ReceiverInfoDlg::onInitDialog() {
    Dialog::onInitDialog();
    firmwareFile_ = surroundings_.firmwareForSerial(serialNumber_);
    setItemText(res::idc::kInstructions,
                fmt::sprintf(res::LoadString(res::ids::kUpdateInstructions),
                             VersionFromFileName(firmwareFile_)));
    return true;
}

void ReceiverInfoDlg::onUpdate() {
    if (externalPower_ == 0 && batteryLevel_ < kMinimumBatteryLevel) {
        ui::messageBox(res::LoadString(res::ids::kLowBattery));
        enableItem(res::idc::kUpdate, false);
        return;
    }
    showWindow(false);
    if (firmwareFile_.empty()) {
        ui::messageBox(res::LoadString(res::ids::kUnsupportedAntenna));
        showWindow(true);
        return;
    }
    FlasherResult result = RunFlasher(firmwareFile_, port_, connectSpeed_, transferSpeed_,
                                      surroundings_.updateCompletionLimitMs,
                                      res::ids::kUpdateFailed, surroundings_.forFlasher());
    if (result != FlasherResult::Succeeded) {
        showWindow(true);  // RunFlasher has said why; Update stays usable
        return;
    }
    // The flasher's word does not outweigh the receiver's: it must run the new version and be
    // the receiver read before.
    if (!ReceiverConfirmsFlash({port_, connectSpeed_, firmwareFile_, serialNumber_, shownVersion_,
                                res::ids::kUpdateFailed},
                               surroundings_)) {
        showWindow(true);
        return;
    }
    WarmAndFuzzyDlg dlg(surroundings_);
    dlg.SetUpdateText(serialNumber_, shownVersion_, firmwareFile_);
    if (dlg.doModal() == ui::Result::Cancel) {
        endDialog(ui::Result::Cancel);
    } else {
        onOK();
    }
}

void ReceiverInfoDlg::onBack() {
    onOK();
}
