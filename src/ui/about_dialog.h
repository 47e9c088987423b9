#pragma once

#include <QDialog>

namespace qe {

// The About box (template 100): the program icon, its name and version, and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace qe
