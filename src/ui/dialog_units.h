#pragma once

#include <cmath>

#include <QFont>
#include <QRect>
#include <QSize>

namespace qe {

// Dialog templates are laid out in dialog units of an 8-point dialog font: one horizontal unit is
// 1.5 pixels, one vertical unit 1.625 pixels (so template 102, 513 by 325 units, is 770 by 528).
inline int DluX(int x) {
    return static_cast<int>(std::lround(x * 1.5));
}
inline int DluY(int y) {
    return static_cast<int>(std::lround(y * 1.625));
}
inline QRect DluRect(int x, int y, int width, int height) {
    return QRect(DluX(x), DluY(y), DluX(width), DluY(height));
}
inline QSize DluSize(int width, int height) {
    return QSize(DluX(width), DluY(height));
}

// The dialogs' font: the 8-point face the dialog units above are measured in.
inline QFont DialogFont() {
    QFont font(QStringLiteral("Roboto"));
    font.setPointSize(8);
    return font;
}

}  // namespace qe
