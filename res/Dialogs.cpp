// The dialog templates of the wizard's pages and its About box.
#include "res/Dialogs.h"

#include <iterator>

namespace res {
namespace {

constexpr unsigned kPageStyle = kDlgCaption | kDlgModalFrame | kDlgCentered;
constexpr unsigned kButton = kTabStop;

// About box: the application icon, two lines of text and OK.
constexpr ControlTemplate kAbout[] = {
    {kStaticId, ControlKind::IconPicture, "", 11, 17, 20, 20, 0, idi::kApplication},
    {kStaticId, ControlKind::Label, "Reflasher Version 1.0", 40, 10, 119, 8, 0, 0},
    {kStaticId, ControlKind::Label, "Firmware update wizard", 40, 25, 130, 8, 0, 0},
    {idc::kOk, ControlKind::DefPushButton, "OK", 178, 7, 50, 14, kButton | kGroupStart, 0},
};

// Welcome page.
constexpr ControlTemplate kWelcome[] = {
    {idc::kLogo, ControlKind::IconPicture, "", 7, 7, 20, 20, 0, 0},
    {idc::kAnimation, ControlKind::BitmapPicture, "", 96, 43, 85, 30, 0, idb::kAnimation[0]},
    {idc::kInstructions, ControlKind::Edit, "", 7, 77, 246, 73, kReadOnly | kMultiLine | kVScroll,
     0},
    {idc::kWelcomeNext, ControlKind::DefPushButton, "&Next", 148, 154, 50, 14, kButton, 0},
    {idc::kCancel, ControlKind::PushButton, "&Cancel", 203, 154, 50, 14, kButton, 0},
};

// Port selection page.
constexpr ControlTemplate kChooseConnection[] = {
    {idc::kInstructions, ControlKind::Edit, "", 7, 7, 137, 106, kReadOnly | kMultiLine, 0},
    {kStaticId, ControlKind::Label, "&Select COM Port", 151, 7, 80, 12, kSunken | kCentered, 0},
    {idc::kPortList, ControlKind::DropList, "", 151, 21, 80, 66, kSorted | kVScroll | kTabStop, 0},
    {idc::kPortRestore, ControlKind::PushButton, "&Restore", 7, 116, 50, 14, kButton, 0},
    {idc::kBack, ControlKind::PushButton, "&Back", 65, 116, 50, 14, kButton, 0},
    {idc::kPortNext, ControlKind::DefPushButton, "&Next", 123, 116, 50, 14, kButton, 0},
    {idc::kCancel, ControlKind::PushButton, "&Cancel", 181, 116, 50, 14, kButton, 0},
};

// Connecting page.
constexpr ControlTemplate kConnecting[] = {
    {idc::kMessage, ControlKind::Edit, "", 7, 18, 112, 14, kReadOnly | kNoBorder | kAutoHScroll, 0},
    {idc::kCancel, ControlKind::DefPushButton, "&Cancel", 124, 18, 50, 14, kButton, 0},
};

// Receiver information page.
constexpr ControlTemplate kReceiverInfo[] = {
    {kStaticId, ControlKind::Label, "Serial Number:", 7, 15, 75, 8, 0, 0},
    {idc::kSerialNumber, ControlKind::Edit, "", 89, 9, 107, 14, kReadOnly | kAutoHScroll | kTabStop,
     0},
    {kStaticId, ControlKind::Label, "Firmware Version:", 7, 34, 75, 8, 0, 0},
    {idc::kFirmwareVersion, ControlKind::Edit, "", 89, 28, 107, 14,
     kReadOnly | kAutoHScroll | kTabStop, 0},
    {idc::kConnection, ControlKind::Edit, "", 7, 53, 290, 12, kReadOnly | kNoBorder, 0},
    {idc::kInstructions, ControlKind::Edit, "", 7, 66, 294, 131, kReadOnly | kMultiLine | kVScroll,
     0},
    {idc::kBack, ControlKind::PushButton, "&Back", 131, 199, 50, 14, kButton, 0},
    {idc::kUpdate, ControlKind::DefPushButton, "&Update", 191, 199, 50, 14, kButton, 0},
    {idc::kCancel, ControlKind::PushButton, "&Cancel", 251, 199, 50, 14, kButton, 0},
};

// Restore page.
constexpr ControlTemplate kRestore[] = {
    {kStaticId, ControlKind::Label, "Please select the design of your receiver.", 7, 14, 166, 8, 0,
     0},
    {kStaticId, ControlKind::GroupBox, "Design", 17, 31, 118, 41, 0, 0},
    {idc::kWhiteTop, ControlKind::RadioButton, "&White top with logo", 25, 42, 77, 10,
     kGroupStart | kTabStop, 0},
    {idc::kGreyTop, ControlKind::RadioButton, "&Grey top without logo", 25, 56, 83, 10, 0, 0},
    {idc::kRestore, ControlKind::DefPushButton, "&Restore", 68, 84, 50, 14, kButton | kGroupStart,
     0},
    {idc::kCancel, ControlKind::PushButton, "&Cancel", 129, 84, 50, 14, kButton, 0},
    {idc::kBack, ControlKind::PushButton, "&Back", 7, 84, 50, 14, kButton, 0},
};

// Completion page.
constexpr ControlTemplate kWarmAndFuzzy[] = {
    {idc::kMessage, ControlKind::Edit, "", 7, 7, 210, 84, kReadOnly | kMultiLine | kVScroll, 0},
    {idc::kPrintResults, ControlKind::PushButton, "&Print results", 7, 98, 75, 14,
     kButton | kHidden, 0},
    {idc::kYes, ControlKind::DefPushButton, "&Yes", 109, 98, 50, 14, kButton, 0},
    {idc::kNo, ControlKind::PushButton, "&No", 167, 98, 50, 14, kButton, 0},
};

constexpr DialogTemplate kDialogs[] = {
    {idd::kAbout, "About Reflasher", 235, 55, kDlgCaption | kDlgModalFrame | kDlgSysMenuBox, kAbout,
     std::size(kAbout)},
    {idd::kWelcome, "Welcome", 260, 175, kPageStyle | kDlgTaskBar, kWelcome, std::size(kWelcome)},
    {idd::kChooseConnection, "Choose Connection", 238, 137, kPageStyle, kChooseConnection,
     std::size(kChooseConnection)},
    {idd::kConnecting, "Connecting", 181, 39, kPageStyle, kConnecting, std::size(kConnecting)},
    {idd::kReceiverInfo, "Receiver Information", 308, 220, kPageStyle, kReceiverInfo,
     std::size(kReceiverInfo)},
    {idd::kRestore, "Restore", 186, 106, kPageStyle, kRestore, std::size(kRestore)},
    {idd::kWarmAndFuzzy, "Update Successful", 224, 119, kPageStyle, kWarmAndFuzzy,
     std::size(kWarmAndFuzzy)},
};

}  // namespace

const DialogTemplate* FindDialog(int id) {
    for (const DialogTemplate& d : kDialogs) {
        if (d.id == id) return &d;
    }
    return nullptr;
}

}  // namespace res
