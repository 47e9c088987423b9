#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "log/enroll_log.h"
#include "ui/artwork.h"
#include "ui/dialog_units.h"

namespace qe {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Despre Quorvane Enroll"));
    auto* icon = new QLabel(this);
    const QRect iconRect = DluRect(14, 14, 21, 20);
    icon->setPixmap(ProgramIconPixmap(32, devicePixelRatioF()));
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);
    icon->setAccessibleName(QStringLiteral("Quorvane Enroll"));
    auto* name = new QLabel(
        QStringLiteral("Quorvane Enroll, Version ") + QString::fromLatin1(kProgramVersion), this);
    name->setGeometry(DluRect(42, 14, 114, 8));
    auto* copyright = new QLabel(QStringLiteral("Copyright (C) 2026 Quorvane"), this);
    copyright->setGeometry(DluRect(42, 26, 114, 8));
    auto* ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setGeometry(DluRect(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QAbstractButton::clicked, this, &QDialog::accept);
    setFixedSize(DluSize(170, 62));
}

}  // namespace qe
