// What both desktop front ends share: whether the environment names a display.
#include "source/desktop/Desktop.h"

#include <cstdlib>

namespace desktop {

bool DisplayNamed() {
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace desktop
