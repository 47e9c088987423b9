#pragma once

#include "flows/window_port.h"

namespace qe {

// The three worker procedures the main window starts, one at a time, each on its own thread.
// Each shows its outcome through the port and then tells the window it is done.

// Repeats the status check while it fails and the user chooses Retry; Cancel ends the program.
// After a successful check it routes the launch link.
void StatusCheckThread(WindowPort& port);

// The register command, then a new status check.
void RegisterThread(WindowPort& port);

// The download command: the download, the acceptance step, and on acceptance the signing and
// installation; then a new status check.
void DownloadThread(WindowPort& port);

}  // namespace qe
