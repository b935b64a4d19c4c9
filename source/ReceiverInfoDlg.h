// The receiver information page (template 150): shows the receiver, picks the firmware file,
// checks the power state and runs the flasher for an update.
#pragma once

#include <cstdint>
#include <string>

#include "link/Conversation.h"  // VersionFromFileName, VisibleText
#include "source/Reflasher.h"
#include "ui/Dialog.h"

class ReceiverInfoDlg : public ui::Dialog {
  public:
    explicit ReceiverInfoDlg(const WizardSurroundings& surroundings = {});

    // Called once by the connecting page before the page opens; nothing is written back.
    void SetReceiverData(const std::int32_t& port, const std::int32_t& connectSpeed,
                         std::string serialNumber, std::string firmwareVersion,
                         const std::int32_t& externalPower, const std::int32_t& batteryLevel);

    static constexpr std::int32_t kMinimumBatteryLevel = 3600;

  protected:
    const ui::HandlerTable& handlers() const override;
    bool onInitDialog() override;
    void doDataExchange(ui::DataExchange& dx) override;

  private:
    void onUpdate();
    void onBack();

    WizardSurroundings surroundings_;
    std::string serialNumber_;  // control idc::kSerialNumber
    std::string statusLine_;    // control idc::kConnection
    std::string
        shownVersion_;  // idc::kFirmwareVersion: last three characters of the firmware version
    std::string firmwareVersion_;  // as the receiver reported it
    std::int32_t port_ = 0;
    std::int32_t connectSpeed_ = 0;
    std::int32_t transferSpeed_ = 0;
    std::int32_t batteryLevel_ = 0;
    std::int32_t externalPower_ = 0;
    std::string firmwareFile_;  // chosen at initialisation; empty when none applies
};
