// A receiver's serial number and firmware version, any bytes at all, through VisibleText and the
// receiver information page on the headless back end: what the page shows of them is printable
// and is exactly their visible form.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "source/ReceiverInfoDlg.h"
#include "ui/Dialog.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

void CheckVisible(const std::string& received) {
    const std::string shown = VisibleText(received);
    Check(Printable(shown) && shown.size() >= received.size() &&
          shown.size() <= 2 * received.size());
    if (Printable(received)) Check(shown == received);
}

// The last text control `id` of the page showed, or "" when it showed none.
std::string Shown(const ui::headless::HeadlessBackend& ui, int id) {
    const std::vector<std::string> texts = ui.textHistory("Receiver Information", id);
    return texts.empty() ? std::string() : texts.back();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::int32_t port = input.ConsumeIntegral<std::int32_t>();
    const std::int32_t speed = input.ConsumeIntegral<std::int32_t>();
    const std::int32_t power = input.ConsumeIntegral<std::int32_t>();
    const std::int32_t battery = input.ConsumeIntegral<std::int32_t>();
    const std::string serial = input.ConsumeRandomLengthString(64);
    const std::string version = input.ConsumeRemainingBytesAsString();
    CheckVisible(serial);
    CheckVisible(version);

    ui::headless::HeadlessBackend ui;
    ui.escape();
    {
        ui::Session session(ui, "Reflasher");
        ReceiverInfoDlg page;
        page.SetReceiverData(port, speed, serial, version, power, battery);
        page.doModal();
    }
    Check(Shown(ui, res::idc::kSerialNumber) == VisibleText(serial));
    const std::string last3 = version.size() > 3 ? version.substr(version.size() - 3) : version;
    Check(Shown(ui, res::idc::kFirmwareVersion) == VisibleText(last3));
    Check(Printable(Shown(ui, res::idc::kConnection)));
    return 0;
}
