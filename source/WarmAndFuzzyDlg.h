// The completion page (template 152): reports the new firmware version and asks whether another
// receiver follows (Yes: OK, back to port selection; No or Escape: Cancel, the program ends).
#pragma once

#include <string>

#include "source/Reflasher.h"
#include "ui/Dialog.h"

class WarmAndFuzzyDlg : public ui::Dialog {
  public:
    explicit WarmAndFuzzyDlg(const WizardSurroundings& surroundings = {});

    void SetUpdateText(std::string serialNumber, std::string oldVersion, std::string firmwareFile);
    void SetRestoreText(std::string firmwareFile);

  protected:
    const ui::HandlerTable& handlers() const override;
    void doDataExchange(ui::DataExchange& dx) override;

  private:
    void onYes();
    void onNo();

    std::string message_;  // control idc::kMessage
};
