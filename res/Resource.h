// The names of the wizard's resource numbers: dialog templates, controls, strings and pictures.
// This is the one place that holds the numbers; the templates, the string table, the pictures,
// the Windows resources generated from them, the pages, the back ends and the tests all use
// these names. Renumbering a resource is a change of one line here.
// The names live in lower-case namespaces and carry no macro-style spelling, so that they never
// meet the IDOK, IDC_... macros of <windows.h> in the Windows files that include both.
#pragma once

namespace res {

// Dialog templates (res/Dialogs.cpp).
namespace idd {
inline constexpr int kAbout = 100;
inline constexpr int kWelcome = 102;
inline constexpr int kChooseConnection = 147;
inline constexpr int kConnecting = 148;
inline constexpr int kReceiverInfo = 150;
inline constexpr int kRestore = 151;
inline constexpr int kWarmAndFuzzy = 152;  // the completion page
}  // namespace idd

// Controls of the templates. A number that several pages use in the same role has one name.
namespace idc {
inline constexpr int kOk = 1;  // the framework's OK and Cancel (ui::kIdOk, ui::kIdCancel)
inline constexpr int kCancel = 2;
inline constexpr int kMessage = 1005;       // the connecting page's status, the completion message
inline constexpr int kInstructions = 1027;  // the text of the Welcome, port and receiver pages
inline constexpr int kBack = 1013;          // port, receiver information and restore pages
// Welcome page.
inline constexpr int kLogo = 1034;
inline constexpr int kAnimation = 1028;
inline constexpr int kWelcomeNext = 1009;
// Port selection page.
inline constexpr int kPortList = 1007;
inline constexpr int kPortNext = 1006;
inline constexpr int kPortRestore = 1020;
// Receiver information page.
inline constexpr int kSerialNumber = 1014;
inline constexpr int kFirmwareVersion = 1015;
inline constexpr int kConnection = 1017;
inline constexpr int kUpdate = 1019;
// Restore page: the design radio group, then its Restore button.
inline constexpr int kWhiteTop = 1021;
inline constexpr int kGreyTop = 1022;
inline constexpr int kRestore = 1023;
// Completion page.
inline constexpr int kYes = 1031;
inline constexpr int kNo = 1032;
inline constexpr int kPrintResults = 1033;
}  // namespace idc

// Strings (res/Strings.cpp).
namespace ids {
inline constexpr int kAboutMenu = 101;
inline constexpr int kFirmwareViz = 102;    // firmware file for serial numbers beginning "VIZ"
inline constexpr int kFirmwareOther = 103;  // and for every other one
inline constexpr int kFlasherProgram = 104;
inline constexpr int kFlasherCommandLine = 105;
inline constexpr int kReceiverName = 106;
inline constexpr int kConnectedAt = 107;
inline constexpr int kPortNotOpened = 108;
inline constexpr int kNoReceiver = 109;
inline constexpr int kConnecting9600 = 110;
inline constexpr int kConnecting19200 = 111;
inline constexpr int kGettingInformation = 112;
inline constexpr int kNoInformation = 113;
inline constexpr int kUnsupportedAntenna = 114;
inline constexpr int kLowBattery = 115;
inline constexpr int kComPort1 = 116;  // the port list's entries: kComPort1 + n for COM port n + 1
inline constexpr int kComPort2 = 117;
inline constexpr int kComPort3 = 118;
inline constexpr int kComPort4 = 119;
inline constexpr int kFlasherNotFound = 120;
inline constexpr int kUpdateInstructions = 121;
inline constexpr int kPortInstructions = 122;
inline constexpr int kWelcomeText = 123;
inline constexpr int kUpdated = 124;
inline constexpr int kTimedOut = 125;
inline constexpr int kFirmwareNotFound = 126;
inline constexpr int kRestored = 127;
inline constexpr int kUpdateFailed = 128;
inline constexpr int kRestoreFailed = 129;
inline constexpr int kResultFile = 130;
}  // namespace ids
static_assert(ids::kComPort2 == ids::kComPort1 + 1 && ids::kComPort3 == ids::kComPort1 + 2 &&
              ids::kComPort4 == ids::kComPort1 + 3);

// Pictures (res/Pictures.h): icons and bitmaps.
namespace idi {
inline constexpr int kApplication = 128;  // 32x32 and 16x16
inline constexpr int kLogo = 168;         // 225x59 and 32x32
}  // namespace idi
namespace idb {
// The Welcome page's animation frames in the order shown; the last is the one it rests on.
inline constexpr int kAnimation[] = {155, 156, 157, 158, 159, 160, 161, 143};
inline constexpr int kAnimationFrames = int(sizeof kAnimation / sizeof kAnimation[0]);
}  // namespace idb

}  // namespace res
