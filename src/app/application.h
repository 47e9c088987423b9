#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qe {

class CQuorvaneEnrollDlg;

// The program's entry: the log first, then the single-instance lock before any Qt start-up
// (a second copy shows "Aplicatia este deja deschisa." and ends, leaving the first untouched),
// the launch link from the first argument, and the main window until it ends.
class CQuorvaneEnrollApp {
public:
    // Runs the wizard; returns the process's exit code. Never returns while a worker still runs:
    // such a worker is abandoned and the process leaves at once (see the .cpp).
    int InitInstance(int argc, char** argv);

    // The launch link: the first argument after the program name, if any; later ones ignored.
    static std::optional<std::string> LaunchLinkArgument(int argc, char** argv);

    // Called with the main window before it is shown (start-up measurements).
    std::function<void(CQuorvaneEnrollDlg&)> windowCreated;

    // The box a second copy shows, modal, without owner; returns when it is closed.
    static void ShowAlreadyRunning();
};

}  // namespace qe
