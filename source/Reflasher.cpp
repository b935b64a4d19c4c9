// The application object: runs the Welcome page; the program ends with it.
#include "source/Reflasher.h"

#include "comm/Comm.h"
#include "res/Strings.h"
#include "source/ReflasherDlg.h"
#include "ui/Dialog.h"

namespace {

// The engine's own trouble reports, shown as plain message boxes on the user-interface thread
// (CommClose, which raises them, runs there).
void showCommNotice(const char* caption, const char* text) {
    ui::messageBox(text ? text : "", caption ? caption : "", ui::MessageIcon::None);
}

}  // namespace

std::string WizardSurroundings::firmwareForSerial(const std::string& serialNumber) const {
    if (serialNumber.empty()) return {};
    return firmwareName(serialNumber.substr(0, 3) == "VIZ" ? res::ids::kFirmwareViz
                                                           : res::ids::kFirmwareOther);
}

FlasherSurroundings WizardSurroundings::forFlasher() const {
    FlasherSurroundings s = flasher;
    s.showMessage = [](const std::string& text) { ui::messageBox(text); };
    return s;
}

std::string WizardSurroundings::firmwareName(int stringId) const {
    return firmwareNames ? firmwareNames(stringId) : std::string(res::LoadString(stringId));
}

ReflasherApp::ReflasherApp(ui::Backend& backend, std::string programName,
                           WizardSurroundings surroundings)
    : backend_(backend),
      programName_(std::move(programName)),
      surroundings_(std::move(surroundings)) {
    // The flasher's console is what the back end lends, whatever the surroundings say of it.
    surroundings_.flasher.console = &backend_.console();
    // Every page runs the flasher with a copy of these surroundings; each copy reports here too.
    auto pass = std::move(surroundings_.flasher.finished);
    surroundings_.flasher.finished = [this, pass](FlasherResult result) {
        outcome_ = result == FlasherResult::Succeeded ? SessionOutcome::LastRunSucceeded
                                                      : SessionOutcome::LastRunFailed;
        if (pass) pass(result);
    };
    auto passCheck = std::move(surroundings_.flashChecked);
    surroundings_.flashChecked = [this, passCheck](AfterFlash verdict,
                                                   const Identification& found) {
        if (verdict == AfterFlash::OtherVersion || verdict == AfterFlash::OtherReceiver) {
            outcome_ = SessionOutcome::LastRunFailed;
        }
        if (passCheck) passCheck(verdict, found);
    };
}

bool ReflasherApp::initInstance() {
    // Hosting embedded controls and 3-D control drawing have no counterpart here.
    ui::Session session(backend_, programName_);
    CommSetNoticeHook(&showCommNotice);
    {
        ReflasherDlg dlg(surroundings_);
        dlg.doModal();  // the result does not matter: the program ends either way
    }
    CommSetNoticeHook(nullptr);
    return false;
}

int SessionExitCode(SessionOutcome outcome) {
    switch (outcome) {
        case SessionOutcome::LastRunSucceeded:
            return 0;
        case SessionOutcome::LastRunFailed:
            return 4;
        case SessionOutcome::NothingFlashed:
            break;
    }
    return 3;
}
