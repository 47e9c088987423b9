#include "ui/alert_dialogs.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>

#include "ui/dialog_units.h"
#include "ui/rtf_document.h"
#include "ui/ui_text.h"
#include "ui/window_title.h"

namespace qe {
namespace {

// Only web and mail addresses leave the program from a text.
bool OpensOutside(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("https") || scheme == QLatin1String("http") ||
           scheme == QLatin1String("mailto");
}

}  // namespace

UrlOpener DesktopUrlOpener() {
    return [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
}

RichTextAlert::RichTextAlert(const QString& caption, std::wstring_view rtf,
                             const QString& buttonText, QSize size, QRect textRect,
                             QRect buttonRect, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(caption);
    view_ = new QTextBrowser(this);
    view_->setGeometry(textRect);
    view_->setOpenLinks(false);
    view_->setDocument(RtfToDocument(rtf).release());
    view_->document()->setParent(view_);
    view_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    // A screen reader names the text by the caption, or by the text itself where there is none;
    // the window takes the same name, whatever its title bar shows.
    const QString name =
        caption.isEmpty() ? view_->document()->toPlainText().simplified() : caption;
    view_->setAccessibleName(name);
    setAccessibleName(name);
    auto* button = new QPushButton(WithMnemonic(buttonText), this);
    button->setGeometry(buttonRect);
    button->setAutoDefault(true);
    button->setDefault(true);
    button_ = button;
    setFixedSize(size);
    setTabOrder(button_, view_);
    connect(button_, &QAbstractButton::clicked, this, &QDialog::accept);
    button_->setFocus(Qt::OtherFocusReason);
}

QAbstractButton* RichTextAlert::Button() const {
    return button_;
}

AlertDialog::AlertDialog(const QString& caption, std::wstring_view rtf, const QString& buttonText,
                         UrlOpener opener, QWidget* parent)
    : RichTextAlert(caption, rtf, buttonText, DluSize(313, 179), DluRect(16, 7, 281, 150),
                    DluRect(256, 158, 50, 14), parent) {
    connect(view_, &QTextBrowser::anchorClicked, this, [opener](const QUrl& url) {
        if (OpensOutside(url)) {
            opener(url.toString());
        }
    });
}

InvalidTokenAlertDialog::InvalidTokenAlertDialog(std::wstring_view rtf, const QString& buttonText,
                                                 const std::string& link, UrlOpener opener,
                                                 QWidget* parent)
    : RichTextAlert(QString(), rtf, buttonText, DluSize(213, 88), DluRect(16, 15, 177, 52),
                    DluRect(156, 67, 50, 14), parent) {
    // The button opens the link whether or not the desktop manages to; then the dialog ends.
    disconnect(button_, &QAbstractButton::clicked, this, &QDialog::accept);
    const QString address = QString::fromStdString(link);
    connect(button_, &QAbstractButton::clicked, this, [this, opener, address] {
        opener(address);
        accept();
    });
}

void InvalidTokenAlertDialog::showEvent(QShowEvent* event) {
    RichTextAlert::showEvent(event);
    ClearWindowTitle(this);
}

}  // namespace qe
