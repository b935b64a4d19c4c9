// The desktop front end's wiring, for the Qt build's tests and tools.
#pragma once

#include <string>

#include "source/Flasher.h"

namespace ui::desktop {
class DesktopBackend;
}

namespace desktop {

// Makes `console` the back end's console window: the flasher runs on its pseudo-terminal, the
// window opens and closes around each run and keeps going while the wizard waits. False with
// `error` when there is no pseudo-terminal to be had.
bool UseConsoleWindow(ui::desktop::DesktopBackend& backend, FlasherConsole& console, std::string& error);

}  // namespace desktop
