#pragma once

#include <cstddef>
#include <string>

#include <QDialog>

#include "net/proxy_login.h"

class QLabel;
class QLineEdit;

namespace qe {

class CCustomButton;
class CPinEdit;

// Asked when a proxy on the way to the authority wants a user name and password: the prompt, the
// proxy's address on a line of its own, the note that the password goes unencrypted to it when it
// does, the red note that the last ones were refused when they
// were, the user name field (with the focus) and the password field, OK and Cancel ("Renunță").
// The password field is the PIN field: what is typed goes straight into a Secret, at most 255
// bytes of UTF-8. OK with the user name empty ends nothing and puts the focus back in that field;
// every end wipes what the password field held, and Cancel keeps nothing.
class CProxyLoginDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr std::size_t kMaxPasswordBytes = 255;
    static constexpr int kMaxUserLength = 255;

    CProxyLoginDlg(const std::string& proxy, bool refused, bool inClear, QWidget* parent = nullptr);
    ~CProxyLoginDlg() override;

    // The login taken by OK; an empty user name and password after Cancel. Hands it over.
    ProxyLogin TakeLogin() { return std::move(login_); }

    QLabel* Address() const { return address_; }
    QLabel* ClearNote() const { return clear_; }
    QLabel* RefusedNote() const { return refused_; }
    QLineEdit* UserEdit() const { return user_; }
    CPinEdit* PasswordEdit() const { return password_; }
    CCustomButton* OkButton() const { return ok_; }
    CCustomButton* CancelButton() const { return cancel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void TakeTextAndAccept();
    void WipeEdits();

    QLabel* address_ = nullptr;
    QLabel* clear_ = nullptr;
    QLabel* refused_ = nullptr;
    QLineEdit* user_ = nullptr;
    CPinEdit* password_ = nullptr;
    CCustomButton* ok_ = nullptr;
    CCustomButton* cancel_ = nullptr;
    ProxyLogin login_;
};

}  // namespace qe
