#include "ui/main_window.h"

#include <QAbstractButton>
#include <QPointer>
#include <QThread>

#include <memory>
#include <optional>

#include "log/enroll_log.h"
#include "messages/result_decision.h"
#include "token/module_list.h"
#include "token/token_arrival.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_choice.h"
#include "ui/confirm_dialog.h"
#include "ui/open_dialog.h"
#include "ui/pin_change_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/proxy_login_dialog.h"
#include "ui/result_box.h"

// The main window as the workers' port to the customer: the dialogs handed over to the window's
// thread, the PIN and the status they share.

namespace qe {

// ---- the window's thread -----------------------------------------------------------------

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
    OpenDialog(dialog);
}

void CQuorvaneEnrollDlg::OpenPinChangeDialog(CK_ULONG minLength, CK_ULONG maxLength,
                                             std::function<void(Secret)> finished) {
    auto* dialog = new CPinChangeDlg(minLength, maxLength, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(
        dialog, &QDialog::finished, this, [dialog, finished](int) { finished(dialog->TakePin()); },
        Qt::SingleShotConnection);
    OpenDialog(dialog);
}

void CQuorvaneEnrollDlg::OpenProxyLoginDialog(const std::string& proxy, bool refused, bool inClear,
                                              std::function<void(ProxyLogin*)> finished) {
    auto* dialog = new CProxyLoginDlg(proxy, refused, inClear, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // After the dialog's own wipe of its fields; once, whatever ends it.
    connect(
        dialog, &QDialog::finished, this,
        [dialog, finished](int result) {
            if (result != QDialog::Accepted) {
                finished(nullptr);
                return;
            }
            ProxyLogin login = dialog->TakeLogin();
            finished(&login);
        },
        Qt::SingleShotConnection);
    OpenDialog(dialog);
}

// ---- any thread ----------------------------------------------------------------------------

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

bool CQuorvaneEnrollDlg::AskProxyLogin(const std::string& proxy, bool refused, bool inClear,
                                       ProxyLogin& login) {
    auto hand = [&login](ProxyLogin* given) {
        if (given != nullptr) {
            login = std::move(*given);
        }
        return given != nullptr;
    };
    if (QThread::currentThread() == thread()) {
        return handOver_.Ask<bool>([&](std::function<void(bool)> done) {
            OpenProxyLoginDialog(proxy, refused, inClear,
                                 [&hand, done](ProxyLogin* given) { done(hand(given)); });
        });
    }
    // A second worker meeting a proxy waits for the first one's dialog to end.
    std::lock_guard turn(proxyLoginTurn_);
    std::binary_semaphore answered{0};
    bool given = false;
    QMetaObject::invokeMethod(
        this,
        [&] {
            OpenProxyLoginDialog(proxy, refused, inClear, [&](ProxyLogin* taken) {
                given = hand(taken);
                answered.release();
            });
        },
        Qt::QueuedConnection);
    answered.acquire();
    return given;
}

void CQuorvaneEnrollDlg::ClearPin() {
    std::lock_guard lock(mutex_);
    pin_.Clear();
}

Secret CQuorvaneEnrollDlg::AskNewPin(CK_ULONG minLength, CK_ULONG maxLength) {
    Secret pin;
    if (QThread::currentThread() == thread()) {
        handOver_.Ask<bool>([&](std::function<void(bool)> done) {
            OpenPinChangeDialog(minLength, maxLength, [&pin, done](Secret given) {
                pin = std::move(given);
                done(true);
            });
        });
        return pin;
    }
    std::binary_semaphore answered{0};
    QMetaObject::invokeMethod(
        this,
        [&] {
            OpenPinChangeDialog(minLength, maxLength, [&](Secret given) {
                pin = std::move(given);
                answered.release();
            });
        },
        Qt::QueuedConnection);
    answered.acquire();
    return pin;
}

void CQuorvaneEnrollDlg::ReplacePin(Secret pin) {
    std::lock_guard lock(mutex_);
    pin_ = std::move(pin);
}

// Queued from whichever thread logs in, so both arrive in the order they were made.
void CQuorvaneEnrollDlg::ReaderLoginStarts(CK_FLAGS tokenFlags) {
    QMetaObject::invokeMethod(
        this,
        [this, tokenFlags] {
            readerDialog_ = new CPinReaderDlg(tokenFlags, this);
            readerDialog_->setAttribute(Qt::WA_DeleteOnClose);
            OpenDialog(readerDialog_);
        },
        Qt::QueuedConnection);
}

void CQuorvaneEnrollDlg::ReaderLoginEnds() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (readerDialog_ != nullptr) {
                readerDialog_->Finish();
            }
        },
        Qt::QueuedConnection);
}

namespace {

// Retry pressed for the customer when a token appears, on the window's thread: on the box if it
// is open and not answered yet, else as soon as it opens.
struct TokenRetry {
    QPointer<QMessageBox> box;
    bool pending = false;
    void Press() {
        if (box == nullptr) {
            pending = true;
        } else if (box->isVisible()) {
            box->button(QMessageBox::Retry)->click();
        }
    }
};

}  // namespace

int CQuorvaneEnrollDlg::ShowResult(ErrorId id, int successText, unsigned boxFlags,
                                   const StepTrace& trace) {
    const ResultDecision decision =
        DecideResult(id, successText, boxFlags, trace.serverMessage, trace.tokenHash);
    if (decision.kind == ResultDecision::Kind::Nothing) {
        return kIdOk;
    }
    if (decision.clearCachedPin) {
        ClearPin();
    }
    const auto retry = std::make_shared<TokenRetry>();
    std::optional<TokenArrivalWatch> watch;
    if (decision.waitsForToken) {
        watch.emplace(CReg().ModuleList(), [this, retry] {
            QMetaObject::invokeMethod(
                this, [retry] { retry->Press(); }, Qt::QueuedConnection);
        });
    }
    const int answer = handOver_.Ask<int>([this, decision, retry](std::function<void(int)> done) {
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
                OpenDialog(box);
                retry->box = box;
                if (retry->pending) {
                    retry->Press();
                }
                return;
            }
        }
        alert->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert, &QDialog::finished, this, [alert, done] { done(alert->Answer()); });
        OpenDialog(alert);
    });
    watch.reset();  // before any token work of the caller's
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
        OpenDialog(dialog);
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
    if (preview.isNull() || pdfPath.empty()) {
        // What the customer cannot read is never offered for acceptance.
        Log().Write("Declaration preview cannot be decoded: not offered for acceptance");
        return {pdfPath.empty() ? ERR_DECLARATION_UNSHOWN : ERR_DECLARATION_UNREADABLE, true};
    }
    return handOver_.Ask<AcceptanceOutcome>(
        [this, certificate, pdfPath, preview](std::function<void(AcceptanceOutcome)> done) {
            auto* dialog = new CConfirmDlg(certificate, pdfPath, preview, openUrl_, this);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            connect(dialog, &QDialog::finished, this, [dialog, done] { done(dialog->Outcome()); });
            OpenDialog(dialog);
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
