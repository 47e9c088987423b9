#include "ui/pin_change_dialog.h"

#include <algorithm>
#include <tuple>

#include <QKeyEvent>
#include <QLabel>

#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kPromptText = 207;
constexpr int kNewText = 208;
constexpr int kConfirmText = 209;
constexpr int kMismatchText = 210;
constexpr int kRuleText = 211;
constexpr int kCaptionText = 212;
constexpr int kCancelText = 137;

// Dialog units, as the proxy login dialog's.
constexpr int kWidth = 230;
constexpr int kMarginX = 14;
constexpr int kMarginY = 10;
constexpr int kGap = 4;
constexpr int kFieldHeight = 14;

}  // namespace

CPinChangeDlg::CPinChangeDlg(unsigned long minLength, unsigned long maxLength, QWidget* parent)
    : QDialog(parent),
      minLength_(std::clamp<std::size_t>(minLength, 1, kMaxPinBytes)),
      maxLength_(maxLength < minLength_ || maxLength > kMaxPinBytes ? kMaxPinBytes : maxLength) {
    setWindowTitle(UiText(kCaptionText));
    const int left = DluX(kMarginX);
    const int contentWidth = DluX(kWidth - 2 * kMarginX);

    auto* prompt = new QLabel(UiText(kPromptText), this);
    prompt->setWordWrap(true);
    int bottom = PlaceParagraph(prompt, left, DluY(kMarginY), contentWidth);
    rule_ = new QLabel(UiText(kRuleText).arg(minLength_).arg(maxLength_), this);
    rule_->setWordWrap(true);
    bottom = PlaceParagraph(rule_, left, bottom + DluY(kGap), contentWidth);

    // Each field right of its label; the labels' column is as wide as the longer one.
    auto* newLabel = new QLabel(WithMnemonic(UiText(kNewText), QStringLiteral("nou")), this);
    auto* confirmLabel = new QLabel(WithMnemonic(UiText(kConfirmText)), this);
    const int labelWidth = std::max(newLabel->sizeHint().width(), confirmLabel->sizeHint().width());
    const int fieldX = left + labelWidth + DluX(kGap);
    const int fieldWidth = DluX(kWidth - kMarginX) - fieldX;
    int top = bottom + DluY(2 * kGap);
    for (auto [label, field, name] : {std::tuple{newLabel, &new_, kNewText},
                                      std::tuple{confirmLabel, &confirm_, kConfirmText}}) {
        *field = new CPinEdit(maxLength_, this);
        (*field)->setGeometry(fieldX, top, fieldWidth, DluY(kFieldHeight));
        (*field)->setAccessibleName(FieldName(name));
        (*field)->setAccessibleDescription(rule_->text());
        label->setBuddy(*field);
        label->setGeometry(left, top, labelWidth, DluY(kFieldHeight));
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        top += DluY(kFieldHeight + kGap);
        connect(*field, &QLineEdit::textChanged, this, &CPinChangeDlg::Check);
    }

    // The note's line is kept free, so the dialog does not move while the customer types.
    mismatch_ = RedLabel(UiText(kMismatchText), this);
    mismatch_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    bottom = PlaceParagraph(mismatch_, left, top, contentWidth);
    mismatch_->hide();

    ok_ = new CCustomButton(QStringLiteral("&OK"), this);
    cancel_ = new CCustomButton(WithMnemonic(UiText(kCancelText)), this);
    PlaceOkCancel(ok_, cancel_, kWidth, bottom + DluY(2 * kGap));
    setFixedSize(DluX(kWidth), ok_->geometry().bottom() + 1 + DluY(kMarginY));
    setTabOrder(new_, confirm_);
    setTabOrder(confirm_, ok_);
    setTabOrder(ok_, cancel_);
    Check();

    connect(ok_, &QAbstractButton::clicked, this, &CPinChangeDlg::TakeTextAndAccept);
    connect(cancel_, &QAbstractButton::clicked, this, &QDialog::reject);
    connect(this, &QDialog::finished, this, &CPinChangeDlg::WipeEdits);
}

CPinChangeDlg::~CPinChangeDlg() {
    WipeEdits();
}

void CPinChangeDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    new_->setFocus(Qt::OtherFocusReason);
}

void CPinChangeDlg::keyPressEvent(QKeyEvent* event) {
    if (!PressDefaultOnEnter(event, focusWidget(), ok_, cancel_)) {
        QDialog::keyPressEvent(event);
    }
}

void CPinChangeDlg::Check() {
    const bool same = new_->SamePin(*confirm_);
    const std::size_t size = new_->Size();
    ok_->setEnabled(same && size >= minLength_ && size <= maxLength_);
    // Said once the confirmation is as long as the PIN, not at each key typed into it.
    const bool differ = !same && confirm_->Size() >= size;
    mismatch_->setVisible(differ);
    confirm_->setAccessibleDescription(differ ? mismatch_->text() + QLatin1Char(' ') + rule_->text()
                                              : rule_->text());
}

void CPinChangeDlg::TakeTextAndAccept() {
    if (!ok_->isEnabled()) {
        return;
    }
    pin_ = new_->Take();
    accept();
}

void CPinChangeDlg::WipeEdits() {
    new_->Clear();
    confirm_->Clear();
}

}  // namespace qe
