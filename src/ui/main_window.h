#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>

#include <QBasicTimer>
#include <QEvent>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "flows/window_port.h"
#include "messages/messages.h"
#include "net/proxy_login.h"
#include "ui/alert_dialogs.h"
#include "ui/gui_hand_over.h"
#include "ui/pin_dialog.h"

class QProgressBar;

namespace qe {

class CCustomButton;
class CCustomStatic;

// The main window's messages, numbered as the workers' messages have always been.
enum class WindowMessage : int {
    WorkDone = QEvent::User + 1,
    WorkBusy = QEvent::User + 2,
    NextStep = QEvent::User + 3,
    StartStatusCheck = QEvent::User + 4,
    AskPin = QEvent::User + 5,
    Progress = QEvent::User + 6,
};

// A progress message's payload; the event that carries it owns it.
struct ProgressRecord {
    std::int32_t position = 0;
    std::int32_t target = 0;
    std::int32_t duration = 0;
    bool active = false;
    std::int32_t startPosition = 0;
    std::int64_t startTime = 0;
};

// The three worker procedures; tests put in their own.
struct WorkerProcedures {
    std::function<void(WindowPort&)> statusCheck;
    std::function<void(WindowPort&)> registerCommand;
    std::function<void(WindowPort&)> downloadCommand;
};
WorkerProcedures DefaultWorkers();

// The wizard's only window (template 102): background picture, the request and download buttons,
// two labels and the progress bar. It starts one worker at a time and is the workers' window port:
// posting calls become events on the window's thread, and the calls that need the user block the
// calling worker until the dialog on the window's thread has ended, never the window's thread.
// Called on the window's thread itself, they run the dialog there and return its answer. It is
// also the process's proxy login port while it exists (the HTTPS clients ask it for a proxy's user
// name and password the same way).
class CQuorvaneEnrollDlg : public QWidget, public WindowPort, public ProxyLoginPort {
    Q_OBJECT
public:
    explicit CQuorvaneEnrollDlg(std::optional<std::string> launchLink = std::nullopt,
                                WorkerProcedures workers = DefaultWorkers(),
                                QWidget* parent = nullptr);
    ~CQuorvaneEnrollDlg() override;

    // Seconds of calendar time for the progress movement; tests put in their own.
    void SetClock(std::function<std::int64_t()> clock) { clock_ = std::move(clock); }
    void SetUrlOpener(UrlOpener opener) { openUrl_ = std::move(opener); }

    // Posts the first status check (what the window does once it is set up).
    void Start();
    // Whether a worker procedure is still running (also between its done message and its end).
    bool WorkerRunning() const { return workerRunning_.load(); }
    bool Busy() const { return busy_; }

    // One step of the 500 ms progress timer.
    void TickProgress();
    bool ProgressMoving() const { return timer_.isActive(); }

    CCustomButton* RequestButton() const { return request_; }
    CCustomButton* DownloadButton() const { return download_; }
    CCustomButton* CancelButton() const { return cancel_; }
    CCustomStatic* UpperLabel() const { return upper_; }
    CCustomStatic* LowerLabel() const { return lower_; }
    QProgressBar* ProgressBar() const { return progress_; }

    // WindowPort.
    void PostBusy() override;
    void PostDone() override;
    void PostNextStep() override;
    void PostStartStatusCheck() override;
    void PostQuit() override;
    void PressButton(MainButton button) override;
    void FreezeProgress() override;
    void ResetStepIndex() override;
    void PostProgress(int position, int target = 0, int duration = 0) override;
    Secret CachedPin() override;
    void AskPin() override;
    void AskPinFor(CK_FLAGS tokenFlags) override;
    void ClearPin() override;
    Secret AskNewPin(CK_ULONG minLength, CK_ULONG maxLength) override;
    void ReplacePin(Secret pin) override;
    void ReaderLoginStarts(CK_FLAGS tokenFlags) override;
    void ReaderLoginEnds() override;
    int ShowResult(ErrorId id, int successText, unsigned boxFlags, const StepTrace& trace) override;
    std::optional<std::size_t> ChooseCertificate(
        const std::vector<TokenCertificate>& certificates) override;
    unsigned PreviewWidth() override;
    AcceptanceOutcome RunAcceptance(const Bytes& certificate, const std::string& pdfPath,
                                    const std::string& jpegPath) override;
    StatusOutcome Status() override;
    void SetStatus(const StatusOutcome& status) override;
    std::optional<std::string> TakeLaunchLink() override;

    // ProxyLoginPort.
    bool AskProxyLogin(const std::string& proxy, bool refused, bool inClear,
                       ProxyLogin& login) override;

signals:
    // The window has shown its picture for the first time (start-up measurements).
    void FirstPainted();
    // The window entered the idle state.
    void BecameIdle();
    // A worker asked the program to end; the application's loop ends next.
    void QuitRequested();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    // Who pressed a command button: the customer, or the launch link after a status check.
    enum class PressOrigin { Customer, LaunchLink };

    void Post(WindowMessage message);
    void OnCommandPressed(MainButton button, PressOrigin origin);
    void ActOnPress(MainButton button);
    void RunCommand(MainButton button);
    void EnableIdleCommands();
    void StartWorker(WorkMode mode, const std::function<void(WindowPort&)>& procedure);
    void OnWorkerEnded(unsigned serial);
    void OnWorkBusy();
    void OnWorkDone();
    void OnNextStep();
    void OnProgress(const ProgressRecord& record);
    void OpenPinDialog(CK_FLAGS tokenFlags, std::function<void()> finished);
    // `finished` gets the new PIN, empty when the customer cancelled.
    void OpenPinChangeDialog(CK_ULONG minLength, CK_ULONG maxLength,
                             std::function<void(Secret)> finished);
    // `finished` gets the login given, or null when the customer cancelled.
    void OpenProxyLoginDialog(const std::string& proxy, bool refused, bool inClear,
                              std::function<void(ProxyLogin*)> finished);
    void ShowAbout();
    void SetBarPosition(int position);

    WorkerProcedures workers_;
    unsigned previewWidth_ = 0;  // measured on the window's thread, read by workers
    UrlOpener openUrl_;
    std::function<std::int64_t()> clock_;
    GuiHandOver handOver_;

    CCustomButton* request_ = nullptr;
    CCustomButton* download_ = nullptr;
    // In the download button's place while a status check waits: ends the waiting.
    CCustomButton* cancel_ = nullptr;
    CCustomStatic* upper_ = nullptr;
    CCustomStatic* lower_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QWidget* content_ = nullptr;
    qreal scale_ = 1.0;  // of the designed layout, below 1 on a screen too small for it
    QPixmap background_;
    std::future<QImage> backgroundJob_;  // rendered while the program starts
    bool painted_ = false;

    struct PendingStart {
        WorkMode mode;
        std::function<void(WindowPort&)> procedure;
    };
    std::thread worker_;
    std::optional<PendingStart> pending_;
    // A customer's press between a worker's done message and its end: taken up when that worker
    // ends, unless another starts (a status check after a command) and makes it stale.
    std::optional<MainButton> deferredPress_;
    std::atomic<bool> workerRunning_{false};
    unsigned workerSerial_ = 0;  // of the most recently started worker
    bool busy_ = false;
    WorkMode mode_ = WorkMode::StatusCheck;
    std::atomic<int> step_{0};

    ProgressRecord progressRecord_;
    QBasicTimer timer_;
    std::atomic<int> barPosition_{0};

    std::binary_semaphore pinEvent_{0};
    std::atomic<CK_FLAGS> pinFlags_{0};
    QPointer<CPinReaderDlg> readerDialog_;  // the window's thread only
    std::mutex proxyLoginTurn_;             // workers ask for a proxy login one at a time

    std::mutex mutex_;  // guards what workers and the window share below
    Secret pin_;
    StatusOutcome status_;
    std::optional<std::string> launchLink_;
};

}  // namespace qe
