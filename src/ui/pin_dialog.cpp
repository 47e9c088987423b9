#include "ui/pin_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>

#include "messages/messages.h"
#include "token/pin_port.h"
#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/pin_edit.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kPromptText = 125;
constexpr int kCaptionText = 111;
constexpr int kPinCountLowText = 153;
constexpr int kPinFinalTryText = 154;
constexpr int kPinLockedText = 155;
constexpr int kPinTriesUnknownText = 180;
constexpr int kCancelText = 137;
constexpr int kReaderPromptText = 186;
constexpr int kEmptyPinText = 194;
constexpr int kReaderChangeText = 214;

// The red warning line at `top` (pixels) under a prompt; returns its height in pixels, 0 without
// a warning.
int AddWarning(CK_FLAGS tokenFlags, int top, QDialog* dialog, QLabel*& label) {
    const int warning = CPinDlg::WarningString(tokenFlags);
    if (warning == 0) {
        return 0;
    }
    label = RedLabel(UiText(warning), dialog);
    const QRect line(DluX(21), top, DluX(145), DluY(8));
    const int height = label->heightForWidth(line.width());
    label->setGeometry(line.x(), line.y(), line.width(), height);
    return height;
}

}  // namespace

QLabel* RedLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    label->setPalette(palette);
    return label;
}

bool PressDefaultOnEnter(QKeyEvent* event, QWidget* focus, QAbstractButton* ok,
                         QAbstractButton* cancel) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        return false;
    }
    (focus == cancel ? cancel : ok)->click();
    return true;
}

QString FieldName(int text) {
    QString name = UiText(text);
    while (name.endsWith(QLatin1Char(':'))) {
        name.chop(1);
    }
    return name;
}

int PlaceParagraph(QLabel* label, int x, int top, int width) {
    label->setGeometry(x, top, width, label->heightForWidth(width));
    return label->geometry().bottom() + 1;
}

void PlaceOkCancel(QWidget* ok, QWidget* cancel, int dialogWidth, int top) {
    constexpr int kButtonWidth = 50;
    constexpr int kButtonHeight = 14;
    constexpr int kFromCentre = 19;
    ok->setGeometry(DluX(dialogWidth / 2 - kFromCentre - kButtonWidth), top, DluX(kButtonWidth),
                    DluY(kButtonHeight));
    cancel->setGeometry(DluX(dialogWidth / 2 + kFromCentre), top, DluX(kButtonWidth),
                        DluY(kButtonHeight));
}

int CPinDlg::WarningString(CK_FLAGS tokenFlags) {
    if (tokenFlags & CKF_USER_PIN_LOCKED) {
        return kPinLockedText;
    }
    if (tokenFlags & CKF_USER_PIN_FINAL_TRY) {
        return kPinFinalTryText;
    }
    if (tokenFlags & CKF_USER_PIN_COUNT_LOW) {
        return kPinCountLowText;
    }
    if (tokenFlags & kPinTriesUnknown) {
        return kPinTriesUnknownText;
    }
    return 0;
}

CPinDlg::CPinDlg(CK_FLAGS tokenFlags, QWidget* parent) : QDialog(parent) {
    setWindowTitle(UiText(kCaptionText));
    auto* prompt = new QLabel(WithMnemonic(UiText(kPromptText), QStringLiteral("pin")), this);
    prompt->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    prompt->setGeometry(DluRect(21, 17, 145, 8));

    // The warning line sits under the prompt; the rest of the dialog moves down to make room.
    int extra = 0;
    if (const int height = AddWarning(tokenFlags, DluY(29), this, warning_); height != 0) {
        extra = DluY(29) + height + DluY(4) - DluY(41);
    }
    edit_ = new CPinEdit(kMaxPinBytes, this);
    edit_->setGeometry(DluRect(21, 41, 145, 14).translated(0, extra));
    edit_->setAccessibleName(UiText(kPromptText));
    prompt->setBuddy(edit_);
    if (warning_ != nullptr) {
        edit_->setAccessibleDescription(warning_->text());
    }
    emptyNote_ = RedLabel(UiText(kEmptyPinText), this);
    emptyNote_->setGeometry(DluRect(21, 60, 145, 9).translated(0, extra));
    emptyNote_->hide();
    ok_ = new CCustomButton(QStringLiteral("&OK"), this);
    ok_->setGeometry(DluRect(24, 74, 50, 14).translated(0, extra));
    cancel_ = new CCustomButton(WithMnemonic(UiText(kCancelText)), this);
    cancel_->setGeometry(DluRect(112, 74, 50, 14).translated(0, extra));
    setFixedSize(DluSize(187, 111) + QSize(0, extra));
    setTabOrder(edit_, ok_);
    setTabOrder(ok_, cancel_);

    connect(ok_, &QAbstractButton::clicked, this, &CPinDlg::TakeTextAndAccept);
    connect(cancel_, &QAbstractButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, &CPinDlg::WipeEdit);
}

CPinDlg::~CPinDlg() {
    WipeEdit();
}

void CPinDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    edit_->setFocus(Qt::OtherFocusReason);
}

void CPinDlg::keyPressEvent(QKeyEvent* event) {
    if (!PressDefaultOnEnter(event, focusWidget(), ok_, cancel_)) {
        QDialog::keyPressEvent(event);
    }
}

void CPinDlg::TakeTextAndAccept() {
    pin_ = edit_->Take();
    if (pin_.size() == 0) {
        // An empty PIN would end the step without a word; the customer is told here instead.
        emptyNote_->show();
        edit_->setAccessibleDescription(
            warning_ != nullptr ? emptyNote_->text() + QLatin1Char(' ') + warning_->text()
                                : emptyNote_->text());
        edit_->setFocus(Qt::OtherFocusReason);
        return;
    }
    accept();
}

void CPinDlg::WipeEdit() {
    edit_->Clear();
}

CPinReaderDlg::CPinReaderDlg(CK_FLAGS tokenFlags, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle(UiText(kCaptionText));
    auto* prompt = new QLabel(
        UiText((tokenFlags & kPinChangeOnReader) != 0 ? kReaderChangeText : kReaderPromptText),
        this);
    prompt->setWordWrap(true);
    prompt->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    const QRect area = DluRect(21, 17, 145, 8);
    prompt->setGeometry(area.x(), area.y(), area.width(), prompt->heightForWidth(area.width()));
    setAccessibleName(prompt->text());
    // The margin above the prompt again under the last line.
    int bottom = prompt->geometry().bottom() + 1;
    QLabel* warning = nullptr;
    if (const int height = AddWarning(tokenFlags, bottom + DluY(4), this, warning); height != 0) {
        setAccessibleDescription(warning->text());
        bottom += DluY(4) + height;
    }
    setFixedSize(DluX(187), bottom + area.y());
}

void CPinReaderDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
}

}  // namespace qe
