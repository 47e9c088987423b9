#pragma once

#include <cstddef>

#include <QDialog>

#include "toolkit/secret.h"

class QLabel;

namespace qe {

class CCustomButton;
class CPinEdit;

// Asked when the token demands a new PIN before its key may be used: the prompt, the token's
// length rule, the new PIN and its confirmation (PIN fields: nothing typed is kept outside a
// Secret), the red note while the two differ, OK and Cancel ("Renunță"). OK is enabled only while
// both hold the same PIN within the token's lengths (in bytes, as tokens count them); Enter then
// presses it unless Cancel has the focus. Every end wipes both fields, and Cancel keeps nothing.
class CPinChangeDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPinBytes = 259;

    // The token's ulMinPinLen and ulMaxPinLen; a maximum it does not give (0, or below the
    // minimum) is the PIN field's own.
    CPinChangeDlg(unsigned long minLength, unsigned long maxLength, QWidget* parent = nullptr);
    ~CPinChangeDlg() override;

    // The new PIN taken by OK; empty after Cancel. Hands the buffer over.
    Secret TakePin() { return std::move(pin_); }

    CPinEdit* NewEdit() const { return new_; }
    CPinEdit* ConfirmEdit() const { return confirm_; }
    QLabel* RuleNote() const { return rule_; }
    QLabel* MismatchNote() const { return mismatch_; }
    CCustomButton* OkButton() const { return ok_; }
    CCustomButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Check();
    void TakeTextAndAccept();
    void WipeEdits();

    std::size_t minLength_;
    std::size_t maxLength_;
    QLabel* rule_ = nullptr;
    QLabel* mismatch_ = nullptr;
    CPinEdit* new_ = nullptr;
    CPinEdit* confirm_ = nullptr;
    CCustomButton* ok_ = nullptr;
    CCustomButton* cancel_ = nullptr;
    Secret pin_;
};

}  // namespace qe
