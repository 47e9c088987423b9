#include "app/application.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include "app/expiry_check.h"
#include "app/single_instance.h"
#include "flows/download.h"
#include "log/enroll_log.h"
#include "log/temp_dir.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"
#include "ui/result_box.h"
#include "ui/screen_fit.h"
#include "ui/toolkit_translations.h"

namespace qe {
namespace {

// A session that ends, or a kill, must not leave the declaration behind: the files go, then the
// signal does what it always did.
void RemoveFilesAndDie(int signal) {
    RemoveRegisteredFiles();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void RemoveFilesOnTermination() {
    struct sigaction action {};
    action.sa_handler = RemoveFilesAndDie;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace

std::optional<std::string> CQuorvaneEnrollApp::LaunchLinkArgument(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr) {
        return std::nullopt;
    }
    return std::string(argv[1]);
}

void CQuorvaneEnrollApp::ShowAlreadyRunning() {
    QMessageBox box(QMessageBox::Critical, QString::fromWCharArray(kAlreadyRunningCaption),
                    QString::fromWCharArray(kAlreadyRunningText), QMessageBox::Ok);
    MakeBoxAccessible(&box);
    box.exec();
}

int CQuorvaneEnrollApp::InitInstance(int argc, char** argv) {
    // Taken before Qt removes its own options from the list: "-reverse quorvaneenroll://..." must
    // not run the command.
    std::optional<std::string> link = LaunchLinkArgument(argc, argv);
    if (link == kCheckExpiryOption) {
        WriteLogTo(kReminderLogFileName);
        Log();
        QCoreApplication app(argc, argv);
        return CheckExpiry(std::time(nullptr));
    }
    Log();  // the log is open before anything else happens
    SingleInstance instance;
    if (instance.AlreadyRunning()) {
        QApplication app(argc, argv);
        InstallToolkitTranslations();
        QApplication::setFont(DialogFont());  // the box looks like every other box of the program
        ShowAlreadyRunning();
        return 0;
    }

    if (instance.FoundPeer() == SingleInstance::Peer::Unanswered) {
        Log().Write(
            "The single-instance socket's queue is full and nothing answers there; "
            "starting");
    }
    if (instance.Held()) {
        RemoveLeftPreviews();
    }
    RemoveFilesOnTermination();
    QApplication app(argc, argv);
    // The copies that look for this one are answered, so that their queue never fills.
    std::unique_ptr<QSocketNotifier> looked;
    if (instance.ListeningSocket() >= 0) {
        looked =
            std::make_unique<QSocketNotifier>(instance.ListeningSocket(), QSocketNotifier::Read);
        QObject::connect(looked.get(), &QSocketNotifier::activated,
                         [&instance] { instance.AnswerWaiting(); });
    }
    QApplication::setApplicationName(QStringLiteral("Quorvane Enroll"));
    QApplication::setDesktopFileName(QStringLiteral("quorvane-enroll"));
    QApplication::setFont(DialogFont());
    InstallToolkitTranslations();
    FitWindowsToScreen();

    // Heap-allocated and never destroyed under a running worker (below).
    auto* window = new CQuorvaneEnrollDlg(std::move(link));
    if (windowCreated) {
        windowCreated(*window);
    }
    window->show();
    // A launcher that passes an activation token (a browser's link on Wayland) lets the window
    // come to the front with it; Qt takes the token from the environment.
    if (qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN")) {
        window->activateWindow();
    }
    window->Start();
    const int code = QApplication::exec();
    RemoveRegisteredFiles();

    if (window->WorkerRunning()) {
        // The program ends while a worker runs (a failed status check's quit, the re-key link):
        // the worker is abandoned, since it may be blocked in a token or network call that has
        // no way to be interrupted. Nothing it uses may be torn down under it, so the process
        // leaves here, without destructors; the log flushes every line as it writes it.
        Log().Write("Exit with a worker still running");
        std::fflush(nullptr);
        std::_Exit(code);
    }
    delete window;
    return code;
}

}  // namespace qe
