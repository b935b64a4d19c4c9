// reflasher station: several receivers at once, one unattended run per port, each in a process
// of its own with a private temporary folder (TMPDIR), so that the flashers' result files never
// meet. A live table on a terminal, JSON lines otherwise; a summary at the end.
//
// With a restore design, a port whose receiver does not answer (no receiver found) is restored
// with that design by a second unattended run on the same port.
//
// SIGINT (Ctrl+C), SIGTERM and SIGHUP are passed on as SIGTERM to every run still going; each
// passes it on to its flasher, waits for it, records the attempt as interrupted and ends. The
// station waits for all of them, removes the temporary folders and ends with 128 + the signal.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct StationOptions {
    std::string program;                // the reflasher executable each run is started from
    std::vector<std::string> ports;     // COM numbers or device paths, one run each
    std::optional<std::string> record;  // passed on to every run
    std::optional<std::string> operatorName, batch;  // passed on to every run
    bool force = false;                              // passed on to every run
    int restoreDesign = -1;                          // -1 none, 0 white top, 1 grey top
    bool confirm = true;
    bool table = false;  // draw the live table (standard output is a terminal)
};

// Exit code: 0 when every port succeeded; else the exit code of the first port (in the order
// given) that did not; 128 + the signal when the station was stopped; 2 for a bad port list or
// record file.
int RunStation(const StationOptions& options, std::FILE* out, std::FILE* err);
