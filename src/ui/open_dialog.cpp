#include "ui/open_dialog.h"

#include <algorithm>
#include <utility>

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/screen_fit.h"

namespace qe {
namespace {

class Sheet : public QFrame {
public:
    Sheet(QDialog* dialog, QWidget* owner) : QFrame(owner), dialog_(dialog) {
        setFrameShape(QFrame::Box);
        setAutoFillBackground(true);
        // The dialog is the only thing of the window that takes input while it is open.
        for (QWidget* w : owner->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (w != this && !w->isWindow() && w->isEnabled()) {
                w->setEnabled(false);
                disabled_.append(w);
            }
        }
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(1, 1, 1, 1);
        layout->setSpacing(0);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        if (!dialog->windowTitle().isEmpty()) {
            auto* caption = new QLabel(dialog->windowTitle(), this);
            caption->setAlignment(Qt::AlignCenter);
            caption->setMargin(4);
            caption->setAutoFillBackground(true);
            caption->setBackgroundRole(QPalette::Mid);
            layout->addWidget(caption);
        }
        if (dialog->accessibleName().isEmpty()) {
            dialog->setAccessibleName(dialog->windowTitle());
        }
        dialog->setParent(this, Qt::Widget);
        layout->addWidget(dialog);
        connect(dialog, &QDialog::finished, this, &Sheet::End);
        connect(dialog, &QObject::destroyed, this, &Sheet::End);
    }
    ~Sheet() override {
        // A dialog that outlives its sheet (one its owner destroys itself) leaves it first.
        if (dialog_ != nullptr && isAncestorOf(dialog_)) {
            dialog_->hide();
            dialog_->setParent(nullptr);
        }
        Release();
    }

private:
    void Release() {
        for (const QPointer<QWidget>& w : std::exchange(disabled_, {})) {
            if (w != nullptr) {
                w->setEnabled(true);
            }
        }
    }
    // The window takes input again at once, before the sheet goes.
    void End() {
        Release();
        hide();
        deleteLater();
    }

    QPointer<QDialog> dialog_;
    QList<QPointer<QWidget>> disabled_;
};

void FocusInto(QDialog* dialog) {
    if (dialog->isAncestorOf(QApplication::focusWidget())) {
        return;  // the dialog chose its control itself
    }
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->isDefault() && button->isEnabled() && button->isVisible()) {
            button->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    for (QWidget* w = dialog->nextInFocusChain(); w != dialog; w = w->nextInFocusChain()) {
        if (dialog->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isEnabled() &&
            w->isVisible()) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

}  // namespace

void OpenDialog(QDialog* dialog) {
    QWidget* owner = dialog->parentWidget() != nullptr ? dialog->parentWidget()->window() : nullptr;
    if (owner == nullptr || !QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        dialog->open();
        return;
    }
    auto* sheet = new Sheet(dialog, owner);
    dialog->open();
    sheet->adjustSize();
    FitWindow(sheet, owner->size());
    sheet->move(std::max(0, (owner->width() - sheet->width()) / 2),
                std::max(0, (owner->height() - sheet->height()) / 2));
    sheet->show();
    sheet->raise();
    FocusInto(dialog);
}

}  // namespace qe
