#pragma once

#include <cstddef>

#include <QDialog>

#include <p11-kit/pkcs11.h>

#include "toolkit/secret.h"

class QLabel;
class QLineEdit;

namespace qe {

class CCustomButton;

// The PIN dialog (template 141): a password edit with the focus, OK and Cancel. OK keeps at most
// 259 bytes of the typed text (UTF-8, never a split character) and wipes what the dialog and its
// edit held; Cancel keeps nothing. With the token's PIN flags it warns, under the prompt, of
// earlier wrong PINs, a last try or a locked PIN.
class CPinDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPinBytes = 259;

    explicit CPinDlg(CK_FLAGS tokenFlags = 0, QWidget* parent = nullptr);
    ~CPinDlg() override;

    // The PIN taken by OK; empty after Cancel. Hands the buffer over.
    Secret TakePin() { return std::move(pin_); }

    // The catalogue string warning of these token flags, 0 for none (the gravest flag wins).
    static int WarningString(CK_FLAGS tokenFlags);

    QLineEdit* Edit() const { return edit_; }
    QLabel* Warning() const { return warning_; }
    CCustomButton* OkButton() const { return ok_; }
    CCustomButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void TakeTextAndAccept();
    void WipeEdit();

    QLineEdit* edit_ = nullptr;
    QLabel* warning_ = nullptr;
    CCustomButton* ok_ = nullptr;
    CCustomButton* cancel_ = nullptr;
    Secret pin_;
};

// The first at most `maxBytes` bytes of the text's UTF-8, cut before a character that would not
// fit whole.
Secret PinFromText(const QString& text, std::size_t maxBytes = CPinDlg::kMaxPinBytes);

}  // namespace qe
