#include "ui/main_window.h"

#include <utility>

#include <QCoreApplication>
#include <QMessageBox>

#include "net/https_client.h"
#include "ui/custom_button.h"
#include "ui/open_dialog.h"
#include "ui/result_box.h"
#include "ui/ui_text.h"

// The main window's own events: what it posts itself, the command buttons and the worker's life.

namespace qe {
namespace {

constexpr int kReplaceIssuedText = 179;

class ProgressEvent : public QEvent {
public:
    explicit ProgressEvent(const ProgressRecord& posted)
        : QEvent(static_cast<QEvent::Type>(WindowMessage::Progress)), record(posted) {}
    ProgressRecord record;
};

// Ends the program the way a posted quit does, once the window's thread gets to it.
constexpr QEvent::Type kQuitEvent = static_cast<QEvent::Type>(QEvent::User + 7);
// Presses a command button for the launch link.
constexpr QEvent::Type kPressEvent = static_cast<QEvent::Type>(QEvent::User + 8);
// A worker procedure has returned.
constexpr QEvent::Type kWorkerEndedEvent = static_cast<QEvent::Type>(QEvent::User + 9);

class PressEvent : public QEvent {
public:
    explicit PressEvent(MainButton pressed) : QEvent(kPressEvent), button(pressed) {}
    MainButton button;
};

class WorkerEndedEvent : public QEvent {
public:
    explicit WorkerEndedEvent(unsigned ended) : QEvent(kWorkerEndedEvent), serial(ended) {}
    unsigned serial;
};

}  // namespace

// ---- the window's thread -----------------------------------------------------------------

bool CQuorvaneEnrollDlg::event(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case static_cast<int>(WindowMessage::WorkDone):
            OnWorkDone();
            return true;
        case static_cast<int>(WindowMessage::WorkBusy):
            OnWorkBusy();
            return true;
        case static_cast<int>(WindowMessage::NextStep):
            OnNextStep();
            return true;
        case static_cast<int>(WindowMessage::StartStatusCheck):
            StartWorker(WorkMode::StatusCheck, workers_.statusCheck);
            return true;
        case static_cast<int>(WindowMessage::AskPin):
            OpenPinDialog(pinFlags_.load(), [this] { pinEvent_.release(); });
            return true;
        case static_cast<int>(WindowMessage::Progress):
            OnProgress(static_cast<ProgressEvent*>(event)->record);
            return true;
        case kWorkerEndedEvent:
            OnWorkerEnded(static_cast<WorkerEndedEvent*>(event)->serial);
            return true;
        case kQuitEvent:
            busy_ = false;
            emit QuitRequested();
            QCoreApplication::quit();
            return true;
        case kPressEvent:
            OnCommandPressed(static_cast<PressEvent*>(event)->button, PressOrigin::LaunchLink);
            return true;
        default:
            return QWidget::event(event);
    }
}

void CQuorvaneEnrollDlg::OnCommandPressed(MainButton which, PressOrigin origin) {
    // One press, one command: the buttons go off at once, so the rest of a double click finds
    // them disabled. A customer's press on an enabled button while the worker is still ending
    // waits for its end: a status check that follows makes it stale, and then it is dropped.
    // The launch link's press, posted by the status check as it returns, always waits.
    const CCustomButton* button = which == MainButton::Request ? request_ : download_;
    if (!button->isEnabled()) {
        return;
    }
    request_->setEnabled(false);
    download_->setEnabled(false);
    if (origin == PressOrigin::Customer && workerRunning_.load()) {
        deferredPress_ = which;
        return;
    }
    ActOnPress(which);
}

void CQuorvaneEnrollDlg::ActOnPress(MainButton which) {
    if (which == MainButton::Request && Status().canDownload) {
        // A new request would replace the issued certificate that waits to be installed.
        QMessageBox* box = NewQuestionBox(UiText(kReplaceIssuedText), this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        connect(box, &QMessageBox::finished, this, [this](int answer) {
            if (answer == QMessageBox::Yes) {
                RunCommand(MainButton::Request);
            } else {
                EnableIdleCommands();
            }
        });
        OpenDialog(box);
        return;
    }
    RunCommand(which);
}

void CQuorvaneEnrollDlg::RunCommand(MainButton which) {
    if (which == MainButton::Request) {
        StartWorker(WorkMode::RequestGeneration, workers_.registerCommand);
    } else {
        StartWorker(WorkMode::Download, workers_.downloadCommand);
    }
}

void CQuorvaneEnrollDlg::StartWorker(WorkMode mode,
                                     const std::function<void(WindowPort&)>& procedure) {
    if (!procedure) {
        return;
    }
    if (workerRunning_.load()) {
        // One worker at a time, and the window's thread never waits for one: a start that comes
        // while a procedure is still returning (the launch link's press, the status check after a
        // command) runs when that procedure has ended.
        if (!pending_) {
            pending_ = PendingStart{mode, procedure};
        }
        return;
    }
    if (worker_.joinable()) {
        worker_.join();  // ended already
    }
    mode_ = mode;
    Network().cancel.Allow();
    deferredPress_.reset();  // made on the status this worker is about to change
    workerRunning_ = true;
    worker_ = std::thread([this, procedure, serial = ++workerSerial_] {
        procedure(*this);
        // Posted before the flag clears: once the program sees no worker running, this thread
        // touches the window no more.
        QCoreApplication::postEvent(this, new WorkerEndedEvent(serial));
        workerRunning_ = false;
    });
}

void CQuorvaneEnrollDlg::OnWorkerEnded(unsigned serial) {
    // A worker that ended before the next one started was joined then; joining now would wait for
    // the next one, which may itself be waiting for this thread (the launch link's command).
    if (serial != workerSerial_) {
        return;
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    if (std::optional<PendingStart> next = std::exchange(pending_, std::nullopt)) {
        StartWorker(next->mode, next->procedure);
    } else if (const std::optional<MainButton> press =
                   std::exchange(deferredPress_, std::nullopt)) {
        ActOnPress(*press);
    }
}

// ---- any thread ----------------------------------------------------------------------------

void CQuorvaneEnrollDlg::Post(WindowMessage message) {
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(message)));
}

void CQuorvaneEnrollDlg::PostBusy() {
    Post(WindowMessage::WorkBusy);
}

void CQuorvaneEnrollDlg::PostDone() {
    Post(WindowMessage::WorkDone);
}

void CQuorvaneEnrollDlg::PostNextStep() {
    Post(WindowMessage::NextStep);
}

void CQuorvaneEnrollDlg::PostStartStatusCheck() {
    Post(WindowMessage::StartStatusCheck);
}

void CQuorvaneEnrollDlg::PostQuit() {
    QCoreApplication::postEvent(this, new QEvent(kQuitEvent));
}

void CQuorvaneEnrollDlg::PressButton(MainButton button) {
    QCoreApplication::postEvent(this, new PressEvent(button));
}

void CQuorvaneEnrollDlg::FreezeProgress() {
    PostProgress(barPosition_.load(), 0, 0);
}

void CQuorvaneEnrollDlg::ResetStepIndex() {
    step_ = 0;
}

void CQuorvaneEnrollDlg::PostProgress(int position, int target, int duration) {
    ProgressRecord record;
    record.position = position;
    record.target = target;
    record.duration = duration;
    QCoreApplication::postEvent(this, new ProgressEvent(record));
}

}  // namespace qe
