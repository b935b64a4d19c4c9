// The wizard in a desktop window, where this build has one. CMake links one of two
// implementations: QtDesktop.cpp (Qt 6 Widgets, ui/desktop) when Qt was found, NoDesktop.cpp (which
// says there is no desktop window in this build) otherwise. Called by reflasher's main on the main
// thread, before anything else has started a thread.
#pragma once

#include <string>

#include "source/Reflasher.h"

namespace desktop {

// Whether the environment names a display: WAYLAND_DISPLAY or DISPLAY, not empty.
bool DisplayNamed();

// Whether the wizard can open its windows: a display is named and Qt starts on it. With `forced`
// Qt is tried whatever the environment names (QT_QPA_PLATFORM, for example). Qt ends a program
// whose window system it cannot start, so it is tried in a child process. False with `why`.
bool CanStart(bool forced, std::string& why);

// Runs the wizard in windows until the Welcome page ends; the flasher's console is a window of the
// wizard's own (whatever `surroundings` says of it). False with `error` when it cannot start.
bool RunWizard(const std::string& programName, WizardSurroundings surroundings,
               SessionOutcome& outcome, std::string& error);

}  // namespace desktop
