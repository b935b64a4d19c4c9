// reflasher --unattended: one update (or restore) of the receiver on one port, with the wizard's
// own page chain, connecting sequence and RunFlasher, driven by the operator policy of
// UnattendedBackend.h instead of a person. It reports every event on its output, judges the run
// from what the wizard showed and did, confirms a successful flash by identifying the receiver
// again, appends the attempt to a record file when asked, and returns the exit code (RunReport.h).
//
// SIGINT, SIGTERM and SIGHUP stop the run: a running flasher is passed SIGTERM and waited for
// (RunFlasher does that), the policy leaves the wizard, the attempt is reported and recorded as
// interrupted, and the exit code is 128 + the signal. SIGPIPE never ends it: output that cannot
// be written is said once on standard error, and the run and its record go on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "source/Reflasher.h"

struct UnattendedOptions {
    std::string programName = "reflasher";  // the message boxes' caption
    std::string port;                       // --port: a COM number 1 ... 4 or a device path
    bool restore = false;                   // --restore: the restore road ...
    int design = 0;                         // ... with this design: 0 white top, 1 grey top
    bool confirm = true;                    // --confirm / --no-confirm
    bool json = false;                      // --json: JSON lines instead of plain ones
    std::optional<std::string> record;      // --record FILE
    std::uint32_t confirmLimitMs = 15000;   // how long the receiver gets to answer afterwards
    bool force = false;  // --force: flash a receiver that runs the target already
    std::optional<std::string> operatorName;  // --operator, recorded as given
    std::optional<std::string> batch;         // --batch, recorded as given
    std::optional<int> stationPort;           // the place of this run's port in a station's list
};

// Whether `text` may stand in the record as an operator's name or a batch: 1 ... 64 bytes of
// UTF-8 without control characters.
bool RecordableText(const std::string& text);

// Runs once; events go to `out`, refusals (a bad port, a record file that cannot be used) to
// `err`. `surroundings` are the wizard's (tests shorten limits and choose folders there); the
// run adds its own observers and the flasher's console to them.
int RunUnattended(const UnattendedOptions& options, WizardSurroundings surroundings, std::FILE* out,
                  std::FILE* err);
