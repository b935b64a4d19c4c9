// The desktop front end of a build without Qt: there is no window, only the terminal.
#include "source/desktop/Desktop.h"

namespace desktop {

namespace {
const char* const kNone =
    "this build of reflasher has no desktop window (Qt 6 was not found when it was built)";
}  // namespace

bool CanStart(bool, std::string& why) {
    why = kNone;
    return false;
}

bool RunWizard(const std::string&, WizardSurroundings, SessionOutcome&, std::string& error) {
    error = kNone;
    return false;
}

}  // namespace desktop
