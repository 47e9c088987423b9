#include "ui/proxy_login_dialog.h"

#include <algorithm>

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kPromptText = 199;
constexpr int kRefusedText = 200;
constexpr int kCaptionText = 201;
constexpr int kUserText = 202;
constexpr int kPasswordText = 203;
constexpr int kCancelText = 137;
constexpr int kInClearText = 217;

// Dialog units: the dialog's width, its margins, and the rows of the fields and the buttons.
constexpr int kWidth = 230;
constexpr int kMarginX = 14;
constexpr int kMarginY = 10;
constexpr int kGap = 4;
constexpr int kFieldHeight = 14;

// `label` word-wrapped across the dialog at `top` (pixels); returns the pixel under its last line.
int PlaceParagraph(QLabel* label, int top) {
    return qe::PlaceParagraph(label, DluX(kMarginX), top, DluX(kWidth - 2 * kMarginX));
}

}  // namespace

CProxyLoginDlg::CProxyLoginDlg(const std::string& proxy, bool refused, bool inClear,
                               QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(UiText(kCaptionText));
    const int contentWidth = DluX(kWidth - 2 * kMarginX);

    auto* prompt = new QLabel(UiText(kPromptText), this);
    prompt->setWordWrap(true);
    prompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    int bottom = PlaceParagraph(prompt, DluY(kMarginY));

    // The address on a line of its own, in bold; one too long for the line loses its middle, and
    // the whole of it is still the label's name and tooltip.
    const QString address = QString::fromStdString(proxy);
    address_ = new QLabel(this);
    address_->setTextFormat(Qt::PlainText);
    QFont bold = address_->font();
    bold.setBold(true);
    address_->setFont(bold);
    address_->setText(QFontMetrics(bold).elidedText(address, Qt::ElideMiddle, contentWidth));
    address_->setAccessibleName(address);
    if (address_->text() != address) {
        address_->setToolTip(address);
    }
    address_->setGeometry(DluX(kMarginX), bottom + DluY(kGap), contentWidth,
                          address_->sizeHint().height());
    bottom = address_->geometry().bottom() + 1;

    if (inClear) {
        clear_ = new QLabel(UiText(kInClearText), this);
        clear_->setWordWrap(true);
        clear_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        bottom = PlaceParagraph(clear_, bottom + DluY(kGap));
    }
    if (refused) {
        refused_ = RedLabel(UiText(kRefusedText), this);
        refused_->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // as the prompt above it
        bottom = PlaceParagraph(refused_, bottom + DluY(kGap));
    }

    // Each field right of its label; the labels' column is as wide as the longer one.
    auto* userLabel = new QLabel(WithMnemonic(UiText(kUserText)), this);
    auto* passwordLabel = new QLabel(WithMnemonic(UiText(kPasswordText)), this);
    const int labelWidth =
        std::max(userLabel->sizeHint().width(), passwordLabel->sizeHint().width());
    const int fieldX = DluX(kMarginX) + labelWidth + DluX(kGap);
    const int fieldWidth = DluX(kWidth - kMarginX) - fieldX;

    user_ = new QLineEdit(this);
    user_->setMaxLength(kMaxUserLength);
    user_->setGeometry(fieldX, bottom + DluY(2 * kGap), fieldWidth, DluY(kFieldHeight));
    user_->setAccessibleName(FieldName(kUserText));
    userLabel->setBuddy(user_);
    userLabel->setGeometry(DluX(kMarginX), user_->y(), labelWidth, user_->height());
    userLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    password_ = new CPinEdit(kMaxPasswordBytes, this);
    password_->setGeometry(fieldX, user_->geometry().bottom() + 1 + DluY(kGap), fieldWidth,
                           DluY(kFieldHeight));
    password_->setAccessibleName(FieldName(kPasswordText));
    passwordLabel->setBuddy(password_);
    passwordLabel->setGeometry(DluX(kMarginX), password_->y(), labelWidth, password_->height());
    passwordLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The notes read with the fields, as the PIN dialog's warning is with its field.
    QStringList notes;
    for (const QLabel* note : {clear_, refused_}) {
        if (note != nullptr) {
            notes << note->text();
        }
    }
    user_->setAccessibleDescription(notes.join(QLatin1Char(' ')));
    password_->setAccessibleDescription(notes.join(QLatin1Char(' ')));
    bottom = password_->geometry().bottom() + 1;

    // OK and Cancel centred under the fields, as in the PIN dialog.
    const int buttonsTop = bottom + DluY(3 * kGap);
    ok_ = new CCustomButton(QStringLiteral("&OK"), this);
    cancel_ = new CCustomButton(WithMnemonic(UiText(kCancelText)), this);
    PlaceOkCancel(ok_, cancel_, kWidth, buttonsTop);
    setFixedSize(DluX(kWidth), ok_->geometry().bottom() + 1 + DluY(kMarginY));
    setTabOrder(user_, password_);
    setTabOrder(password_, ok_);
    setTabOrder(ok_, cancel_);

    connect(ok_, &QAbstractButton::clicked, this, &CProxyLoginDlg::TakeTextAndAccept);
    connect(cancel_, &QAbstractButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, &CProxyLoginDlg::WipeEdits);
}

CProxyLoginDlg::~CProxyLoginDlg() {
    WipeEdits();
}

void CProxyLoginDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    user_->setFocus(Qt::OtherFocusReason);
}

void CProxyLoginDlg::keyPressEvent(QKeyEvent* event) {
    if (!PressDefaultOnEnter(event, focusWidget(), ok_, cancel_)) {
        QDialog::keyPressEvent(event);
    }
}

void CProxyLoginDlg::TakeTextAndAccept() {
    if (user_->text().trimmed().isEmpty()) {
        // A proxy that asks for a login takes none without a user name.
        user_->setFocus(Qt::OtherFocusReason);
        return;
    }
    login_.user = user_->text().toStdString();
    login_.password = password_->Take();
    accept();
}

void CProxyLoginDlg::WipeEdits() {
    password_->Clear();
    if (result() != QDialog::Accepted) {
        user_->clear();
        login_ = {};
    }
}

}  // namespace qe
