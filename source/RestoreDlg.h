// The restore page (template 151): re-flashes a receiver that no longer answers, by case design.
#pragma once

#include <cstdint>

#include "source/Reflasher.h"
#include "ui/Dialog.h"

class RestoreDlg : public ui::Dialog {
  public:
    explicit RestoreDlg(const WizardSurroundings& surroundings = {});

    void SetPort(std::int32_t port) { port_ = port; }

  protected:
    const ui::HandlerTable& handlers() const override;
    void doDataExchange(ui::DataExchange& dx) override;

  private:
    void onRestore();
    void onBack();

    WizardSurroundings surroundings_;
    std::int32_t design_ =
        0;  // radio group idc::kWhiteTop, kGreyTop: 0 white top with logo, 1 grey top
    std::int32_t port_ = 0;
};
