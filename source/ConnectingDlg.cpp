// The connecting sequence and the page around it.
#include "source/ConnectingDlg.h"

#include <cstring>

#include "comm/Comm.h"
#include "res/Strings.h"
#include "source/ReceiverInfoDlg.h"

namespace {
// The information buffer holds one byte more than the collection ever fills.
constexpr std::size_t kInfoBufferSize = 1001;
}  // namespace

ConnectingDlg::ConnectingDlg(const WizardSurroundings& surroundings)
    : Dialog(res::idd::kConnecting), surroundings_(surroundings) {
    // The page takes no input during the sequence; its pauses are where a window system may paint.
    link_.pauseHook = [](void*, std::uint32_t ms) { ui::busyPause(ms); };
}

const ui::HandlerTable& ConnectingDlg::handlers() const {
    static const ui::HandlerTable table = {
        ui::onPaint(&ConnectingDlg::onPaint),
        ui::onMessage(WM_CONNECT_NOW, &ConnectingDlg::onConnectNow),
    };
    return table;
}

void ConnectingDlg::doDataExchange(ui::DataExchange& dx) {
    ui::ddxText(dx, res::idc::kMessage, statusText_);
}

void ConnectingDlg::onPaint() {
    // Later paints (the page was covered) must not start the sequence again.
    if (!firstPaint_) return;
    firstPaint_ = false;
    setItemText(res::idc::kMessage, res::LoadString(res::ids::kConnecting19200));
    postMessage(WM_CONNECT_NOW, 0, 0);
}

std::intptr_t ConnectingDlg::onConnectNow(std::uintptr_t, std::intptr_t) {
    // Connect step.
    CommStartup();  // result ignored: a second start-up of a running engine is harmless
    CommPortConfig config = ConnectingLine(port_, 19200);
    if (CommOpen(&link_.port, &config) != 0) {
        // The system's text says which of the many reasons it was (no such device, in use, not
        // allowed), and the device that stands for the COM port.
        const std::string why = CommOpenFailure();
        ui::messageBox(why.empty() ? std::string(res::LoadString(res::ids::kPortNotOpened))
                                   : res::LoadString(res::ids::kPortNotOpened) +
                                         std::string("\r\n\r\n") + why + ".");
        CommCleanup();
        endDialog(ui::Result::OK);
        return 0;
    }
    std::uint8_t handshake[ReceiverLink::kCapacity];
    std::uint16_t handshakeLength = BuildHandshakeRequest(handshake);
    CommWrite(link_.port, handshake, handshakeLength);
    bool answered = link_.CollectReplies(handshake);

    if (!answered) {
        // Fall-back to 9600 baud.
        connectSpeed_ = 9600;
        setItemText(res::idc::kMessage, res::LoadString(res::ids::kConnecting9600));
        CommClose(link_.port);
        link_.port = 0;  // never reuse a closed handle
        config.baud = 9600;
        CommOpen(&link_.port,
                 &config);  // result ignored: a failed reopen leaves handle 0 and no answer
        // The collection overwrote the buffer: build the same 14-byte request again.
        handshakeLength = BuildHandshakeRequest(handshake);
        CommWrite(link_.port, handshake, handshakeLength);
        if (!link_.CollectReplies(handshake)) {
            connectSpeed_ = -1;
            ui::messageBox(res::LoadString(res::ids::kNoReceiver));
            CommClose(link_.port);
            link_.port = 0;
            CommCleanup();
            endDialog(ui::Result::OK);
            return 0;
        }
    }

    // Information step.
    setItemText(res::idc::kMessage, res::LoadString(res::ids::kGettingInformation));
    std::uint8_t info[kInfoBufferSize];
    CommWrite(link_.port, info, BuildIdentityRequest(info));
    if (!link_.CollectReplies(info)) {
        ui::messageBox(res::LoadString(res::ids::kNoInformation));
        onCancel();
        return 0;
    }
    std::memset(info, 0, sizeof info);
    // An answer that carried no whole power reply (another sub-code, a cut-off reply) tells the
    // page nothing about the battery: it is treated as no answer, never as a flat battery.
    link_.power = PowerStatus{0, 0};
    const std::uint32_t powerRepliesBefore = link_.powerReplies;
    CommWrite(link_.port, info, BuildPowerRequest(info));
    if (!link_.CollectReplies(info) || link_.powerReplies == powerRepliesBefore) {
        ui::messageBox(res::LoadString(res::ids::kNoInformation));
        onCancel();
        return 0;
    }
    CommClose(link_.port);
    link_.port = 0;
    CommCleanup();

    handOver();
    return 0;
}

void ConnectingDlg::handOver() {
    showWindow(false);
    if (surroundings_.receiverFound) {
        surroundings_.receiverFound(
            ReceiverFound{port_, connectSpeed_, VisibleText(link_.identity.serialNumber),
                          VisibleText(link_.identity.firmwareVersion), link_.power.externalPower,
                          link_.power.batteryLevel});
    }
    ReceiverInfoDlg dlg(surroundings_);
    dlg.SetReceiverData(port_, connectSpeed_, link_.identity.serialNumber,
                        link_.identity.firmwareVersion, link_.power.externalPower,
                        link_.power.batteryLevel);
    if (dlg.doModal() == ui::Result::Cancel) {
        // The port and the engine were released before the hand-over: the plain Cancel ending.
        Dialog::onCancel();
    } else {
        endDialog(ui::Result::OK);
    }
}

void ConnectingDlg::onCancel() {
    CommClose(link_.port);  // an engine error for a closed or zero handle is ignored
    link_.port = 0;
    CommCleanup();
    Dialog::onCancel();
}
