#include "ui/main_window.h"

#include <algorithm>
#include <ctime>

#include <QAccessibleWidget>
#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QShortcut>
#include <QTimerEvent>

#include "flows/workers.h"
#include "net/https_client.h"
#include "ui/about_dialog.h"
#include "ui/artwork.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/dialog_units.h"
#include "ui/open_dialog.h"
#include "ui/screen_fit.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kAboutText = 101;
constexpr int kRequestText = 102;
constexpr int kDownloadText = 103;
constexpr int kWaitText = 110;
constexpr int kCaptionText = 111;
constexpr int kCancelText = 137;
constexpr int kIdleText = 117;
constexpr int kStartingText = 118;
constexpr int kProgressTimerMs = 500;

// "roboto", bold, with the character cell (ascent plus descent) `cellHeight` pixels high, as a
// font asked for by its cell height is. One measurement at a large size scales to the answer.
QFont CellHeightFont(qreal cellHeight) {
    QFont font(QStringLiteral("Roboto"));
    font.setBold(true);
    constexpr int kProbe = 100;
    font.setPixelSize(kProbe);
    const qreal probeHeight = QFontMetricsF(font).height();
    font.setPixelSize(std::max(1, static_cast<int>(cellHeight * kProbe / probeHeight)));
    return font;
}

// The window is laid out as designed where the screen's free area holds it, and made smaller as
// a whole where it does not (a small screen at a large scale): every control, font and the
// picture keep their proportions, so the commands stay in view and nothing scrolls.
qreal LayoutScale(QSize design, QSize room) {
    if (room.isEmpty()) {
        return 1.0;
    }
    return std::min({1.0, static_cast<qreal>(room.width()) / design.width(),
                     static_cast<qreal>(room.height()) / design.height()});
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

// A screen reader takes a top-level window of the window role for an application's frame; a plain
// widget would be announced as a filler.
QAccessibleInterface* WindowAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String(CQuorvaneEnrollDlg::staticMetaObject.className()) &&
        object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    return nullptr;
}

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
    static const bool accessible = (QAccessible::installFactory(WindowAccessible), true);
    Q_UNUSED(accessible);
    setWindowTitle(UiText(kCaptionText));
    setWindowIcon(ProgramIcon());
    const QSize design = DluSize(513, 325);
    scale_ = LayoutScale(design, ScreenRoom(this));
    const auto at = [this](const QRect& designed) {
        return QRectF(QPointF(designed.topLeft()) * scale_, QSizeF(designed.size()) * scale_)
            .toRect();
    };
    setFixedSize((QSizeF(design) * scale_).toSize());
    backgroundJob_ =
        std::async(std::launch::async, BackgroundPicture, size(), devicePixelRatioF(), scale_);

    // Everything the user can reach sits on one panel, which is disabled while a worker runs;
    // the window itself stays enabled so the dialogs it owns stay usable.
    content_ = new QWidget(this);
    content_->setGeometry(rect());
    content_->installEventFilter(this);
    const QFont labelFont = CellHeightFont(27 * scale_);
    const QFont buttonFont = CellHeightFont(25 * scale_);

    upper_ = new CCustomStatic(content_);
    upper_->setGeometry(at(DluRect(20, 89, 475, 93)));
    upper_->setFont(labelFont);
    upper_->SetText(UiText(kIdleText));
    lower_ = new CCustomStatic(content_);
    lower_->setGeometry(at(DluRect(19, 186, 475, 59)));
    lower_->setFont(labelFont);
    lower_->SetText(UiText(kStartingText));

    progress_ = new FlatProgressBar(content_);
    progress_->setGeometry(at(DluRect(74, 237, 365, 7)));
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setAccessibleName(QStringLiteral("Progres"));
    progress_->hide();

    request_ = new CCustomButton(WithMnemonic(UiText(kRequestText)), content_);
    request_->setGeometry(at(DluRect(181, 257, 151, 19)));
    request_->setFont(buttonFont);
    request_->setEnabled(false);
    download_ = new CCustomButton(WithMnemonic(UiText(kDownloadText), QStringLiteral("certificat")),
                                  content_);
    download_->setGeometry(at(DluRect(181, 294, 151, 19)));
    download_->setFont(buttonFont);
    download_->setEnabled(false);
    setTabOrder(request_, download_);
    // Enter on the window ends the program, whichever command has the focus.
    request_->SetEnterPresses(false);
    download_->SetEnterPresses(false);

    // Outside the disabled panel: the only control of a status check under way.
    cancel_ = new CCustomButton(WithMnemonic(UiText(kCancelText)), this);
    cancel_->setGeometry(download_->geometry());
    cancel_->setFont(buttonFont);
    cancel_->hide();
    connect(cancel_, &QAbstractButton::clicked, this, [this] {
        Network().cancel.Cancel();
        cancel_->setEnabled(false);
    });

    connect(request_, &QAbstractButton::clicked, this,
            [this] { OnCommandPressed(MainButton::Request, PressOrigin::Customer); });
    connect(download_, &QAbstractButton::clicked, this,
            [this] { OnCommandPressed(MainButton::Download, PressOrigin::Customer); });

    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, &CQuorvaneEnrollDlg::ShowAbout);

    previewWidth_ = CConfirmDlg::PreviewWidth(style());

    // The steps' HTTPS clients ask this window for a proxy's login.
    Network().proxyLogins.SetPort(this);
}

CQuorvaneEnrollDlg::~CQuorvaneEnrollDlg() {
    Network().proxyLogins.SetPort(nullptr);  // no request asks a window that is going
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

void CQuorvaneEnrollDlg::OnWorkBusy() {
    busy_ = true;
    content_->setEnabled(false);
    upper_->SetText(UiText(kWaitText));
    request_->setEnabled(false);
    download_->setEnabled(false);
    if (mode_ == WorkMode::StatusCheck) {
        download_->hide();
        cancel_->setEnabled(true);
        cancel_->show();
        cancel_->setFocus(Qt::OtherFocusReason);
    }
}

void CQuorvaneEnrollDlg::OnWorkDone() {
    upper_->SetText(UiText(kIdleText));
    const StatusOutcome status = Status();
    std::wstring text = status.statusText;
    if (status.datesNote != ERR_SUCCESS) {
        text += (text.empty() ? L"" : L" ") + ErrorText(status.datesNote);
    }
    lower_->SetText(QString::fromStdWString(text));
    busy_ = false;
    cancel_->hide();
    download_->show();
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

bool CQuorvaneEnrollDlg::eventFilter(QObject* watched, QEvent* event) {
    // The picture is the panel's, which keeps its size and scrolls in a window that a small
    // screen made smaller.
    if (watched == content_ && event->type() == QEvent::Paint) {
        const qreal ratio = devicePixelRatioF();
        if (backgroundJob_.valid()) {
            background_ = QPixmap::fromImage(backgroundJob_.get());
        }
        if (background_.isNull() || background_.devicePixelRatio() != ratio) {
            background_ = QPixmap::fromImage(BackgroundPicture(content_->size(), ratio, scale_));
        }
        QPainter painter(content_);
        painter.drawPixmap(0, 0, background_);
        if (!painted_) {
            painted_ = true;
            emit FirstPainted();
        }
    }
    return QWidget::eventFilter(watched, event);
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
        } else if (key == Qt::Key_Escape && cancel_->isVisible()) {
            cancel_->click();
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
    OpenDialog(about);
}

}  // namespace qe
