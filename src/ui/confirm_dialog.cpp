#include "ui/confirm_dialog.h"

#include <filesystem>

#include <QCheckBox>
#include <QRadioButton>
#include <QStyle>
#include <QUrl>

#include "ui/bitmap_control.h"
#include "ui/certificate_details.h"
#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/open_dialog.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

constexpr int kCaptionText = 111;
constexpr int kRemoveOldText = 115;
constexpr int kAcceptChoiceText = 121;
constexpr int kRejectChoiceText = 122;
constexpr int kDeclarationText = 123;
constexpr int kCertificateText = 124;

constexpr int kBorderWidth = 1;  // a thin window border, four of which the preview's edges take

QRect PreviewFrame() {
    return DluRect(7, 7, 399, 247);
}

}  // namespace

bool DevEntryPresent() {
    // A regular file only: started from /, as some desktops start a link's handler, the system's
    // /dev directory must not count.
    std::error_code ec;
    return std::filesystem::symlink_status("dev", ec).type() == std::filesystem::file_type::regular;
}

unsigned CConfirmDlg::PreviewWidth(const QStyle* style) {
    return static_cast<unsigned>(PreviewFrame().width() - 4 * kBorderWidth -
                                 style->pixelMetric(QStyle::PM_ScrollBarExtent));
}

CConfirmDlg::CConfirmDlg(Bytes certificate, const std::string& pdfPath, const QImage& preview,
                         UrlOpener opener, QWidget* parent)
    : QDialog(parent),
      certificate_(std::move(certificate)),
      pdfPath_(pdfPath),
      openUrl_(std::move(opener)) {
    static_assert(CBitmapCtrl::kEdge * 2 == 4 * kBorderWidth);
    setWindowTitle(UiText(kCaptionText));
    setFixedSize(DluSize(411, 329));

    accept_ = new CCustomButton(QStringLiteral("&Accepta"), this);
    accept_->setGeometry(DluRect(54, 308, 50, 14));
    reject_ = new CCustomButton(QStringLiteral("&Respinge"), this);
    reject_->setGeometry(DluRect(306, 308, 50, 14));
    acceptChoice_ = new QRadioButton(WithMnemonic(UiText(kAcceptChoiceText)), this);
    // The choices run under the whole preview and the check box fills the room between the two
    // buttons: in this font their texts are longer than the template's widths.
    acceptChoice_->setGeometry(DluRect(7, 279, 399, 11));
    rejectChoice_ = new QRadioButton(WithMnemonic(UiText(kRejectChoiceText)), this);
    rejectChoice_->setGeometry(DluRect(7, 291, 399, 10));
    declaration_ = new CCustomButton(
        WithMnemonic(UiText(kDeclarationText), QStringLiteral("declarație")), this);
    declaration_->setGeometry(DluRect(37, 260, 156, 14));
    certificateButton_ = new CCustomButton(
        WithMnemonic(UiText(kCertificateText), QStringLiteral("certificat")), this);
    certificateButton_->setGeometry(DluRect(217, 260, 156, 14));
    removeOld_ = new QCheckBox(WithMnemonic(UiText(kRemoveOldText), QStringLiteral("vechi")), this);
    removeOld_->setGeometry(DluRect(108, 308, 195, 10));
    preview_ = new CBitmapCtrl(this);
    preview_->setGeometry(PreviewFrame());
    preview_->setAccessibleName(UiText(kDeclarationText));
    setTabOrder(accept_, reject_);
    setTabOrder(reject_, acceptChoice_);
    setTabOrder(acceptChoice_, rejectChoice_);
    setTabOrder(rejectChoice_, declaration_);
    setTabOrder(declaration_, certificateButton_);
    setTabOrder(certificateButton_, removeOld_);

    rejectChoice_->setChecked(true);
    accept_->setEnabled(false);
    // Selecting either choice (by mouse or arrow keys) decides whether Accept can be pressed.
    connect(acceptChoice_, &QAbstractButton::toggled, accept_, &QWidget::setEnabled);
    connect(declaration_, &QAbstractButton::clicked, this, &CConfirmDlg::OpenDeclaration);
    connect(certificateButton_, &QAbstractButton::clicked, this, &CConfirmDlg::ShowCertificate);
    connect(accept_, &QAbstractButton::clicked, this, [this] {
        outcome_ = {0, removeOld_->isChecked()};
        accept();
    });
    connect(reject_, &QAbstractButton::clicked, this, &QDialog::reject);

    preview_->SetBitmap(preview);
    removeOld_->setChecked(true);
    removeOld_->setVisible(DevEntryPresent());
}

void CConfirmDlg::OpenDeclaration() {
    if (!pdfPath_.empty()) {
        openUrl_(QUrl::fromLocalFile(QString::fromStdString(pdfPath_)).toString());
    }
}

void CConfirmDlg::ShowCertificate() {
    auto* details = new CertificateDetailsDialog(certificate_, this);
    details->setAttribute(Qt::WA_DeleteOnClose);
    OpenDialog(details);
}

}  // namespace qe
