// The wizard's dialog templates as data: every page's controls with their kinds, texts, positions
// and sizes in dialog units, styles and tab order (the order of the control list). Each back end
// renders these; the framework builds its window model from them.
#pragma once

#include <cstddef>

#include "res/Resource.h"

namespace res {

// Identifier of controls nobody addresses (labels, frames, the About box's icon).
constexpr int kStaticId = -1;

enum class ControlKind {
    Label,     // static text
    GroupBox,  // frame with a caption
    Edit,      // edit field (all of the wizard's are read-only)
    PushButton,
    DefPushButton,  // the button that Enter presses
    RadioButton,    // automatic radio button
    DropList,       // drop-down list
    IconPicture,    // static picture showing an icon
    BitmapPicture,  // static picture showing a bitmap
};

// Control styles (bit flags).
enum ControlStyle : unsigned {
    kReadOnly = 1u << 0,
    kMultiLine = 1u << 1,
    kNoBorder = 1u << 2,
    kAutoHScroll = 1u << 3,
    kSunken = 1u << 4,
    kCentered = 1u << 5,
    kSorted = 1u << 6,
    kVScroll = 1u << 7,
    kHidden = 1u << 8,      // created hidden
    kGroupStart = 1u << 9,  // first control of a radio group
    kTabStop = 1u << 10,
    kDisabled = 1u << 11,  // created disabled
};

// Dialog styles (bit flags).
enum DialogStyle : unsigned {
    kDlgCaption = 1u << 0,
    kDlgModalFrame = 1u << 1,
    kDlgCentered = 1u << 2,
    kDlgSysMenuBox = 1u << 3,  // a window-menu box in the caption
    kDlgTaskBar = 1u << 4,     // shown in the task bar (the application's main window)
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;  // label, button text or initial edit text; empty for pictures
    int x, y, cx, cy;  // dialog units
    unsigned style;
    int picture;  // picture resource shown at creation, 0 for none
};

struct DialogTemplate {
    int id;
    const char* title;
    int cx, cy;  // dialog units
    unsigned style;
    const ControlTemplate* controls;  // in tab order
    std::size_t controlCount;
};

// Template `id` (one of res::idd), or nullptr.
const DialogTemplate* FindDialog(int id);

}  // namespace res
