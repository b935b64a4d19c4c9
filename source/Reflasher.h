// The application object, and the surroundings it hands down the page chain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/Conversation.h"
#include "source/Flasher.h"

namespace ui {
class Backend;
}

// What the connecting page learned of a receiver, as it hands it to the receiver information page
// (texts in the visible form the pages show them).
struct ReceiverFound {
    std::int32_t port = 0;
    std::int32_t connectSpeed = 0;
    std::string serialNumber;
    std::string firmwareVersion;  // whole, as the receiver reported it
    std::int32_t externalPower = 0;
    std::int32_t batteryLevel = 0;
};

// What the pages need from outside the wizard. The defaults are the real ones; tests shorten the
// completion limits and point the flasher at their own folders.
struct WizardSurroundings {
    // Program folder, temporary folder and standard streams of the flasher. Its console is always
    // what the application's back end lends (ui::Backend::console), and its showMessage the
    // wizard's message box, whatever is set here.
    FlasherSurroundings flasher;
    std::uint32_t updateCompletionLimitMs = kUpdateCompletionLimitMs;
    std::uint32_t restoreCompletionLimitMs = kRestoreCompletionLimitMs;
    // How long the receiver gets to answer after a flash the flasher reported as a success.
    std::uint32_t checkLimitMs = kIdentifyAgainLimitMs;
    // The firmware file names by string number (102, 103). Empty: the string table, whose two
    // names are the same file; tests give them apart so that the choice can be seen.
    std::function<std::string(int stringId)> firmwareNames;

    // The port selection page's entry selected when it opens (0: COM Port 1). A front end that was
    // given the device for this run maps it to a COM port and has that one selected.
    int firstPortIndex = 0;
    // Told by the connecting page of every receiver it found, just before the receiver
    // information page opens. Front ends that report runs watch it; it may be left empty.
    std::function<void(const ReceiverFound&)> receiverFound;
    // Told of what the receiver said after every flash the flasher reported as a success, before
    // the operator is told. May be left empty.
    std::function<void(AfterFlash, const Identification&)> flashChecked;

    // The firmware file name of string `stringId`.
    std::string firmwareName(int stringId) const;
    // The firmware file for a receiver with this serial number: string 102 for one that begins
    // with "VIZ" (exactly), 103 for any other, none (empty) for an empty serial number.
    std::string firmwareForSerial(const std::string& serialNumber) const;

    // The flasher surroundings with the wizard's standard message box.
    FlasherSurroundings forFlasher() const;
};

// What an operator's session came to, as far as the receivers are concerned.
enum class SessionOutcome {
    NothingFlashed,    // the operator left without a flasher run
    LastRunSucceeded,  // the last update or restore worked
    LastRunFailed,  // the last flasher run did not (not started, ended early, timed out, failed),
                    // or the receiver contradicted the flasher afterwards
};

// Every front end's exit code for a session that ran: 0 the last update or restore worked, 3 the
// operator left without flashing, 4 the last update or restore did not work.
int SessionExitCode(SessionOutcome outcome);

class ReflasherApp {
  public:
    // `programName` is the message boxes' caption: the executable's name without its extension.
    ReflasherApp(ui::Backend& backend, std::string programName,
                 WizardSurroundings surroundings = {});

    // Runs the Welcome page modally and returns false: the program ends when the page ends.
    bool initInstance();

    // After initInstance: what the session came to.
    SessionOutcome outcome() const { return outcome_; }

  private:
    ui::Backend& backend_;
    std::string programName_;
    WizardSurroundings surroundings_;
    SessionOutcome outcome_ = SessionOutcome::NothingFlashed;
};
