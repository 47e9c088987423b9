#pragma once

#include <cstddef>

#include <QDialog>

#include <p11-kit/pkcs11.h>

#include "toolkit/secret.h"

class QAbstractButton;
class QKeyEvent;
class QLabel;

namespace qe {

class CCustomButton;
class CPinEdit;

// The dialogs' red note: word-wrapped, centred, in dark red.
QLabel* RedLabel(const QString& text, QWidget* parent);
// OK is a dialog's default button: Enter presses it unless Cancel has the focus. True when
// `event` was Enter and a button was pressed.
bool PressDefaultOnEnter(QKeyEvent* event, QWidget* focus, QAbstractButton* ok,
                         QAbstractButton* cancel);
// A field's name as a screen reader says it: the catalogue's label less the colon.
QString FieldName(int text);
// `label` word-wrapped at `x`, `top` (pixels) across `width`; returns the pixel under its last
// line.
int PlaceParagraph(QLabel* label, int x, int top, int width);
// OK and Cancel side by side, centred in a dialog `dialogWidth` dialog units wide, at `top`.
void PlaceOkCancel(QWidget* ok, QWidget* cancel, int dialogWidth, int top);

// The PIN dialog (template 141): a PIN field with the focus, OK and Cancel ("Renunță"). OK keeps at
// most 259 bytes of the typed text (UTF-8, never a split character); every end wipes what the field
// held, and Cancel keeps nothing. With the token's PIN flags it warns, under the prompt, of earlier
// wrong PINs, a last try or a locked PIN, and with kPinTriesUnknown that the tries left are
// unknown. OK with the field empty ends nothing: the dialog says that no PIN was entered.
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

    CPinEdit* Edit() const { return edit_; }
    QLabel* Warning() const { return warning_; }
    QLabel* EmptyNote() const { return emptyNote_; }
    CCustomButton* OkButton() const { return ok_; }
    CCustomButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void TakeTextAndAccept();
    void WipeEdit();

    CPinEdit* edit_ = nullptr;
    QLabel* warning_ = nullptr;
    QLabel* emptyNote_ = nullptr;
    CCustomButton* ok_ = nullptr;
    CCustomButton* cancel_ = nullptr;
    Secret pin_;
};

// Shown while a token that takes the PIN on its reader's keypad waits for it (with
// kPinChangeOnReader: for a PIN change, the current PIN and the new one): the prompt, and
// under it the warning CPinDlg would give for the same flags. It has no button and refuses
// Escape and the window's close: nothing here can cancel a login in progress, so only Finish,
// called once the login returned, ends it.
class CPinReaderDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPinReaderDlg(CK_FLAGS tokenFlags = 0, QWidget* parent = nullptr);

    void Finish() { done(QDialog::Accepted); }
    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace qe
