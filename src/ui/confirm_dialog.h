#pragma once

#include <string>

#include <QDialog>

#include "flows/window_port.h"
#include "toolkit/bytes.h"
#include "ui/alert_dialogs.h"

class QCheckBox;
class QRadioButton;
class QStyle;

namespace qe {

class CBitmapCtrl;
class CCustomButton;

// Whether a regular file named "dev" is in the current directory: then the customer may keep the
// old certificate.
bool DevEntryPresent();

// The acceptance dialog (template 138): the declaration's preview, the PDF and the certificate
// one click away, and the choice. Reject is selected and Accept disabled until the customer
// selects the accept choice. Accept ends it with 0 and the state of the remove-old check box
// (checked; shown only with a "dev" file); Reject, Escape and the close box end it with 1.
// The preview files belong to the download; the dialog only shows them.
class CConfirmDlg : public QDialog {
    Q_OBJECT
public:
    // `preview` is the declaration's picture, decoded beforehand (ReadPreviewImage) so that a
    // slow one never holds up the window's thread; null shows "File not found.".
    CConfirmDlg(Bytes certificate, const std::string& pdfPath, const QImage& preview,
                UrlOpener opener, QWidget* parent = nullptr);

    // The width at which the server is asked to render the preview: the preview frame's width
    // less the preview control's edges (four border widths) and its vertical scroll bar.
    static unsigned PreviewWidth(const QStyle* style);

    // The end code (1 until Accept is pressed) and the remove-old choice.
    AcceptanceOutcome Outcome() const { return outcome_; }

    QRadioButton* AcceptChoice() const { return acceptChoice_; }
    QRadioButton* RejectChoice() const { return rejectChoice_; }
    CCustomButton* AcceptButton() const { return accept_; }
    CCustomButton* RejectButton() const { return reject_; }
    CCustomButton* DeclarationButton() const { return declaration_; }
    CCustomButton* CertificateButton() const { return certificateButton_; }
    QCheckBox* RemoveOldBox() const { return removeOld_; }
    CBitmapCtrl* Preview() const { return preview_; }

private:
    void OpenDeclaration();
    void ShowCertificate();

    Bytes certificate_;
    std::string pdfPath_;
    UrlOpener openUrl_;
    AcceptanceOutcome outcome_;

    QRadioButton* acceptChoice_ = nullptr;
    QRadioButton* rejectChoice_ = nullptr;
    CCustomButton* accept_ = nullptr;
    CCustomButton* reject_ = nullptr;
    CCustomButton* declaration_ = nullptr;
    CCustomButton* certificateButton_ = nullptr;
    QCheckBox* removeOld_ = nullptr;
    CBitmapCtrl* preview_ = nullptr;
};

}  // namespace qe
