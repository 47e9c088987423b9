#include "ui/main_window.h"

#include <algorithm>
#include <ctime>

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QShortcut>
#include <QTimerEvent>

#include "flows/workers.h"
#include "messages/result_decision.h"
#include "net/https_client.h"
#include "token/token_hash.h"
#include "ui/about_dialog.h"
#include "ui/artwork.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_choice.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/dialog_units.h"
#include "ui/pin_dialog.h"
#include "ui/result_box.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kAboutText = 101;
constexpr int kRequestText = 102;
constexpr int kDownloadText = 103;
constexpr int kWaitText = 110;
constexpr int kCaptionText = 111;
constexpr int kIdleText = 117;
constexpr int kStartingText = 118;
constexpr int kReplaceIssuedText = 179;
constexpr int kProgressTimerMs = 500;

// "roboto", bold, with the character cell (ascent plus descent) `cellHeight` pixels high, as a
// font asked for by its cell height is. One measurement at a large size scales to the answer.
QFont CellHeightFont(int cellHeight) {
    QFont font(QStringLiteral("Roboto"));
    font.setBold(true);
    constexpr int kProbe = 100;
    font.setPixelSize(kProbe);
    const qreal probeHeight = QFontMetricsF(font).height();
    font.setPixelSize(std::max(1, static_cast<int>(cellHeight * kProbe / probeHeight)));
    return font;
}

// The window's progress bar: a flat bar of one colour on a flat grey ground, matching the
// window's flat artwork rather than the desktop style.
class FlatProgressBar : public QProgressBar {
public:
    using QProgressBar::QProgressBar;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(220, 220, 220));
        const int span = maximum() - minimum();
        const int filled = span > 0 ? width() * (value() - minimum()) / span : 0;
        painter.fillRect(0, 0, filled, height(), QColor(223, 64, 44));
    }
};

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

WorkerProcedures DefaultWorkers() {
    return {StatusCheckThread, RegisterThread, DownloadThread};
}

CQuorvaneEnrollDlg::CQuorvaneEnrollDlg(std::optional<std::string> launchLink,
                                       WorkerProcedures workers, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      workers_(std::move(workers)),
      openUrl_(DesktopUrlOpener()),
      clock_([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      handOver_(this),
      launchLink_(std::move(launchLink)) {
    setWindowTitle(UiText(kCaptionText));
    setWindowIcon(ProgramIcon());
    setFixedSize(DluSize(513, 325));
    backgroundJob_ = std::async(std::launch::async, BackgroundPicture, size(), devicePixelRatioF());

    // Everything the user can reach sits on one panel, which is disabled while a worker runs;
    // the window itself stays enabled so the dialogs it owns stay usable.
    content_ = new QWidget(this);
    content_->setGeometry(rect());
    const QFont labelFont = CellHeightFont(27);
    const QFont buttonFont = CellHeightFont(25);

    upper_ = new CCustomStatic(content_);
    upper_->setGeometry(DluRect(20, 89, 475, 93));
    upper_->setFont(labelFont);
    upper_->SetText(UiText(kIdleText));
    lower_ = new CCustomStatic(content_);
    lower_->setGeometry(DluRect(19, 186, 475, 59));
    lower_->setFont(labelFont);
    lower_->SetText(UiText(kStartingText));

    progress_ = new FlatProgressBar(content_);
    progress_->setGeometry(DluRect(74, 237, 365, 7));
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setAccessibleName(QStringLiteral("Progres"));
    progress_->hide();

    request_ = new CCustomButton(UiText(kRequestText), content_);
    request_->setGeometry(DluRect(181, 257, 151, 19));
    request_->setFont(buttonFont);
    request_->setEnabled(false);
    download_ = new CCustomButton(UiText(kDownloadText), content_);
    download_->setGeometry(DluRect(181, 294, 151, 19));
    download_->setFont(buttonFont);
    download_->setEnabled(false);
    setTabOrder(request_, download_);
    // Enter on the window ends the program, whichever command has the focus.
    request_->SetEnterPresses(false);
    download_->SetEnterPresses(false);

    connect(request_, &QAbstractButton::clicked, this,
            [this] { OnCommandPressed(MainButton::Request, PressOrigin::Customer); });
    connect(download_, &QAbstractButton::clicked, this,
            [this] { OnCommandPressed(MainButton::Download, PressOrigin::Customer); });

    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &CQuorvaneEnrollDlg::ShowAbout);

    previewWidth_ = CConfirmDlg::PreviewWidth(style());
}

CQuorvaneEnrollDlg::~CQuorvaneEnrollDlg() {
    // The program leaves without destroying a window whose worker still runs; a finished worker
    // only needs joining.
    if (worker_.joinable()) {
        worker_.join();
    }
}

void CQuorvaneEnrollDlg::Start() {
    Post(WindowMessage::StartStatusCheck);
}

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
    // them disabled. A customer's press while a worker still runs is dropped (its status would be
    // stale); only the launch link's press, posted by the status check as it returns, waits.
    const CCustomButton* button = which == MainButton::Request ? request_ : download_;
    if (!button->isEnabled() || (origin == PressOrigin::Customer && workerRunning_.load())) {
        return;
    }
    request_->setEnabled(false);
    download_->setEnabled(false);
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
        box->open();
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
    }
}

void CQuorvaneEnrollDlg::OnWorkBusy() {
    busy_ = true;
    content_->setEnabled(false);
    upper_->SetText(UiText(kWaitText));
    request_->setEnabled(false);
    download_->setEnabled(false);
}

void CQuorvaneEnrollDlg::OnWorkDone() {
    upper_->SetText(UiText(kIdleText));
    lower_->SetText(QString::fromStdWString(Status().statusText));
    busy_ = false;
    content_->setEnabled(true);
    EnableIdleCommands();
    emit BecameIdle();
}

void CQuorvaneEnrollDlg::EnableIdleCommands() {
    const StatusOutcome status = Status();
    request_->setEnabled(status.canGenerate);
    download_->setEnabled(status.canDownload);
    // Keyboard users land on the first command they may use.
    if (QWidget* focused = focusWidget(); focused == nullptr || !focused->isEnabled()) {
        if (request_->isEnabled()) {
            request_->setFocus(Qt::OtherFocusReason);
        } else if (download_->isEnabled()) {
            download_->setFocus(Qt::OtherFocusReason);
        }
    }
}

void CQuorvaneEnrollDlg::OnNextStep() {
    lower_->SetText(QString::fromStdWString(std::wstring(StepText(mode_, step_.load()))));
    ++step_;
}

void CQuorvaneEnrollDlg::SetBarPosition(int position) {
    progress_->setValue(std::clamp(position, 0, 100));
    barPosition_ = progress_->value();
}

void CQuorvaneEnrollDlg::OnProgress(const ProgressRecord& record) {
    timer_.stop();
    if (record.position < 0) {
        progress_->hide();
        return;
    }
    SetBarPosition(record.position);
    progress_->show();
    if (record.duration > 0) {
        progressRecord_ = record;
        progressRecord_.active = true;
        progressRecord_.startPosition = record.position;
        progressRecord_.startTime = clock_();
        timer_.start(kProgressTimerMs, this);
    }
}

void CQuorvaneEnrollDlg::TickProgress() {
    ProgressRecord& r = progressRecord_;
    float fraction = static_cast<float>(clock_() - r.startTime) / static_cast<float>(r.duration);
    if (fraction <= 0.0f) {
        fraction = 0.0f;
    } else if (fraction >= 1.0f) {
        fraction = 1.0f;
    }
    r.position = r.startPosition + static_cast<std::int32_t>(
                                       static_cast<float>(r.target - r.startPosition) * fraction);
    if (fraction >= 1.0f) {
        r.active = false;
        r.duration = 0;
    }
    SetBarPosition(r.position);
    if (!r.active) {
        timer_.stop();
    }
}

void CQuorvaneEnrollDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timer_.timerId()) {
        TickProgress();
        return;
    }
    QWidget::timerEvent(event);
}

void CQuorvaneEnrollDlg::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    if (backgroundJob_.valid()) {
        background_ = QPixmap::fromImage(backgroundJob_.get());
    }
    if (background_.isNull() || background_.devicePixelRatio() != ratio) {
        background_ = QPixmap::fromImage(BackgroundPicture(size(), ratio));
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, background_);
    if (!painted_) {
        painted_ = true;
        emit FirstPainted();
    }
}

void CQuorvaneEnrollDlg::closeEvent(QCloseEvent* event) {
    // While a worker runs the window cannot be closed; idle, closing ends the program.
    if (busy_) {
        event->ignore();
        return;
    }
    event->accept();
}

void CQuorvaneEnrollDlg::keyPressEvent(QKeyEvent* event) {
    // Escape, and Enter on no command button, end the program as a dialog's OK and Cancel do.
    const int key = event->key();
    if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (!busy_) {
            close();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

void CQuorvaneEnrollDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (busy_) {
        return;
    }
    QMenu menu(this);
    QAction* about = menu.addAction(UiText(kAboutText));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    connect(about, &QAction::triggered, this, &CQuorvaneEnrollDlg::ShowAbout);
    menu.exec(event->globalPos());
}

void CQuorvaneEnrollDlg::ShowAbout() {
    if (busy_) {
        return;
    }
    auto* about = new CAboutDlg(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

void CQuorvaneEnrollDlg::OpenPinDialog(CK_FLAGS tokenFlags, std::function<void()> finished) {
    auto* dialog = new CPinDlg(tokenFlags, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::finished, this, [this, dialog, finished](int result) {
        if (result == QDialog::Accepted) {
            std::lock_guard lock(mutex_);
            pin_ = dialog->TakePin();
        }
        finished();
    });
    dialog->open();
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

Secret CQuorvaneEnrollDlg::CachedPin() {
    std::lock_guard lock(mutex_);
    return pin_.Clone();
}

void CQuorvaneEnrollDlg::AskPin() {
    AskPinFor(0);
}

void CQuorvaneEnrollDlg::AskPinFor(CK_FLAGS tokenFlags) {
    if (QThread::currentThread() == thread()) {
        handOver_.Ask<bool>([this, tokenFlags](std::function<void(bool)> done) {
            OpenPinDialog(tokenFlags, [done] { done(true); });
        });
        return;
    }
    pinFlags_ = tokenFlags;
    Post(WindowMessage::AskPin);
    pinEvent_.acquire();
}

void CQuorvaneEnrollDlg::ClearPin() {
    std::lock_guard lock(mutex_);
    pin_.Clear();
}

int CQuorvaneEnrollDlg::ShowResult(ErrorId id, int successText, unsigned boxFlags) {
    const ResultDecision decision =
        DecideResult(id, successText, boxFlags, ServerMessage(), CurrentTokenHash());
    if (decision.kind == ResultDecision::Kind::Nothing) {
        return kIdOk;
    }
    if (decision.clearCachedPin) {
        ClearPin();
    }
    const int answer = handOver_.Ask<int>([this, decision](std::function<void(int)> done) {
        const QString text = QString::fromStdWString(decision.buttonText);
        RichTextAlert* alert = nullptr;
        switch (decision.kind) {
            case ResultDecision::Kind::OldDriverAlert:
                alert = new AlertDialog(QString::fromStdWString(decision.caption), decision.text,
                                        text, openUrl_, this);
                break;
            case ResultDecision::Kind::TokenRestrictionAlert:
                alert =
                    new InvalidTokenAlertDialog(decision.text, text, decision.link, openUrl_, this);
                break;
            default: {
                QMessageBox* box = NewResultBox(decision, this);
                box->setAttribute(Qt::WA_DeleteOnClose);
                connect(box, &QMessageBox::finished, this,
                        [done](int result) { done(ResultBoxAnswer(result)); });
                box->open();
                return;
            }
        }
        alert->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert, &QDialog::finished, this, [alert, done] { done(alert->Answer()); });
        alert->open();
    });
    if (decision.kind == ResultDecision::Kind::TokenRestrictionAlert && answer == kIdOk) {
        PostQuit();  // the customer went to re-key the token: the wizard ends
    }
    return answer;
}

std::optional<std::size_t> CQuorvaneEnrollDlg::ChooseCertificate(
    const std::vector<TokenCertificate>& certificates) {
    using Choice = std::optional<std::size_t>;
    return handOver_.Ask<Choice>([this, certificates](std::function<void(Choice)> done) {
        auto* dialog = new CertificateChoiceDialog(certificates, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QDialog::finished, this, [dialog, done] { done(dialog->Choice()); });
        dialog->open();
    });
}

unsigned CQuorvaneEnrollDlg::PreviewWidth() {
    return previewWidth_;
}

AcceptanceOutcome CQuorvaneEnrollDlg::RunAcceptance(const Bytes& certificate,
                                                    const std::string& pdfPath,
                                                    const std::string& jpegPath) {
    // Decoded here, on the worker: the window keeps painting however long the picture takes.
    const QImage preview = ReadPreviewImage(QString::fromStdString(jpegPath));
    return handOver_.Ask<AcceptanceOutcome>(
        [this, certificate, pdfPath, preview](std::function<void(AcceptanceOutcome)> done) {
            auto* dialog = new CConfirmDlg(certificate, pdfPath, preview, openUrl_, this);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            connect(dialog, &QDialog::finished, this, [dialog, done] { done(dialog->Outcome()); });
            dialog->open();
        });
}

StatusOutcome CQuorvaneEnrollDlg::Status() {
    std::lock_guard lock(mutex_);
    return status_;
}

void CQuorvaneEnrollDlg::SetStatus(const StatusOutcome& status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

std::optional<std::string> CQuorvaneEnrollDlg::TakeLaunchLink() {
    std::lock_guard lock(mutex_);
    return std::exchange(launchLink_, std::nullopt);
}

}  // namespace qe
