#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <QDialog>
#include <QString>

class QAbstractButton;
class QTextBrowser;

namespace qe {

// Opens an address with the desktop's handler; injectable so tests see what would open.
using UrlOpener = std::function<void(const QString& url)>;
UrlOpener DesktopUrlOpener();

// Shows a rich text (RTF from the catalogue) with one button. DoModal-style results: 1 when the
// button ended it, 2 when Escape or the close box did.
class RichTextAlert : public QDialog {
    Q_OBJECT
public:
    int Answer() const { return result() == QDialog::Accepted ? 1 : 2; }
    QTextBrowser* TextView() const { return view_; }
    QAbstractButton* Button() const;

protected:
    RichTextAlert(const QString& caption, std::wstring_view rtf, const QString& buttonText,
                  QSize size, QRect textRect, QRect buttonRect, QWidget* parent);

    QTextBrowser* view_ = nullptr;
    QAbstractButton* button_ = nullptr;
};

// The old-driver alert (template 103): links in the text open in the browser and leave the
// dialog open; the button closes it.
class AlertDialog : public RichTextAlert {
    Q_OBJECT
public:
    AlertDialog(const QString& caption, std::wstring_view rtf, const QString& buttonText,
                UrlOpener opener, QWidget* parent = nullptr);
};

// The token-restriction alert (template 142, no title): the button opens `link` and closes the
// dialog; links in the text do nothing.
class InvalidTokenAlertDialog : public RichTextAlert {
    Q_OBJECT
public:
    InvalidTokenAlertDialog(std::wstring_view rtf, const QString& buttonText,
                            const std::string& link, UrlOpener opener, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
};

}  // namespace qe
