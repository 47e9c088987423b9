#include "ui/result_box.h"

#include <QAbstractButton>
#include <QLabel>

#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr unsigned kButtonMask = 0x0F;
constexpr unsigned kIconMask = 0xF0;
constexpr unsigned kIconQuestion = 32;
constexpr unsigned kIconExclamation = 48;
constexpr int kRetryText = 136;
constexpr int kCancelText = 137;
constexpr int kCaptionText = 111;

QMessageBox::Icon IconOf(unsigned flags) {
    switch (flags & kIconMask) {
        case kBoxIconHand:
            return QMessageBox::Critical;
        case kIconQuestion:
            return QMessageBox::Question;
        case kIconExclamation:
            return QMessageBox::Warning;
        case kBoxIconAsterisk:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

QString IconName(QMessageBox::Icon icon) {
    switch (icon) {
        case QMessageBox::Critical:
            return QStringLiteral("Eroare");
        case QMessageBox::Warning:
            return QStringLiteral("Avertisment");
        case QMessageBox::Information:
            return QStringLiteral("Informație");
        case QMessageBox::Question:
            return QStringLiteral("Întrebare");
        default:
            return {};
    }
}

}  // namespace

void MakeBoxAccessible(QMessageBox* box) {
    if (auto* icon = box->findChild<QLabel*>(QStringLiteral("qt_msgboxex_icon_label"))) {
        icon->setAccessibleName(IconName(box->icon()));
    }
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
        ok->setText(QStringLiteral("&OK"));
    }
}

QMessageBox* NewResultBox(const ResultDecision& decision, QWidget* owner) {
    auto* box = new QMessageBox(owner);
    box->setWindowTitle(QString::fromStdWString(decision.caption));
    box->setText(QString::fromStdWString(decision.text));
    box->setTextFormat(Qt::PlainText);
    box->setIcon(IconOf(decision.flags));
    if ((decision.flags & kButtonMask) == kBoxRetryCancel) {
        box->setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
        box->button(QMessageBox::Retry)->setText(WithMnemonic(UiText(kRetryText)));
        box->button(QMessageBox::Cancel)
            ->setText(WithMnemonic(UiText(kCancelText), QStringLiteral("nunță")));
        box->setDefaultButton(QMessageBox::Retry);
        box->setEscapeButton(QMessageBox::Cancel);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    }
    MakeBoxAccessible(box);
    return box;
}

QMessageBox* NewQuestionBox(const QString& text, QWidget* owner) {
    auto* box = new QMessageBox(QMessageBox::Question, UiText(kCaptionText), text,
                                QMessageBox::Yes | QMessageBox::No, owner);
    box->setTextFormat(Qt::PlainText);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("&Da"));
    box->button(QMessageBox::No)->setText(QStringLiteral("&Nu"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    MakeBoxAccessible(box);
    return box;
}

int ResultBoxAnswer(int finishedWith) {
    switch (finishedWith) {
        case QMessageBox::Retry:
            return kIdRetry;
        case QMessageBox::Cancel:
            return kIdCancel;
        default:
            return kIdOk;
    }
}

}  // namespace qe
