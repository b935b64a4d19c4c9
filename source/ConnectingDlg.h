// The connecting page (template 148): finds the receiver on the chosen port at 19200 or 9600 baud,
// reads its identity and power status, releases the port and opens the receiver information page.
//
// The whole sequence runs inside the handling of WM_CONNECT_NOW on the user-interface thread and
// blocks it (the collections sleep 250 ms a cycle); only message boxes and the next page run
// message loops meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "link/Conversation.h"
#include "link/ReceiverLink.h"
#include "source/Reflasher.h"
#include "ui/Dialog.h"

// Posted to itself by the connecting page on its first paint.
inline constexpr unsigned WM_CONNECT_NOW = ui::msg::App + 1;

class ConnectingDlg : public ui::Dialog {
  public:
    explicit ConnectingDlg(const WizardSurroundings& surroundings = {});

    void SetPort(std::int32_t port) { port_ = port; }

    // The line speed in use: 19200, 9600 after the fall-back, -1 once nothing answered.
    std::int32_t connectSpeed() const { return connectSpeed_; }

  protected:
    const ui::HandlerTable& handlers() const override;
    void doDataExchange(ui::DataExchange& dx) override;
    // The page's own Cancel handling: close the port, stop the engine, end with Cancel.
    void onCancel() override;

  private:
    void onPaint();
    std::intptr_t onConnectNow(std::uintptr_t, std::intptr_t);
    void handOver();

    WizardSurroundings surroundings_;
    std::string statusText_;  // exchanged with the status line
    std::int32_t port_ = 0;   // COM port number, from SetPort
    std::int32_t connectSpeed_ = 19200;
    bool firstPaint_ = true;  // cleared by the first paint, which starts the sequence
    ReceiverLink link_;       // port handle, identity and power status of this visit
};
