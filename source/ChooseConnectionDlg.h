// The port selection page (template 147): COM port 1 ... 4, then Next (update) or Restore.
#pragma once

#include <cstdint>

#include "source/Reflasher.h"
#include "ui/Dialog.h"

class ChooseConnectionDlg : public ui::Dialog {
  public:
    explicit ChooseConnectionDlg(const WizardSurroundings& surroundings = {});

  protected:
    const ui::HandlerTable& handlers() const override;
    bool onInitDialog() override;

  private:
    void onNext();
    void onRestore();
    void onBack();

    WizardSurroundings surroundings_;
    std::int32_t port_ = 1;  // set from the list when Next or Restore is pressed
};
