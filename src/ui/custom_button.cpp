#include "ui/custom_button.h"

#include <QKeyEvent>
#include <QPainter>

namespace qe {

CCustomButton::CCustomButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setFocusPolicy(Qt::StrongFocus);
}

QColor CCustomButton::FaceColor() {
    return QColor(237, 27, 36);
}

QColor CCustomButton::DisabledFaceColor() {
    return QColor(192, 150, 152);
}

QSize CCustomButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return QSize(metrics.horizontalAdvance(QString(text()).remove(QLatin1Char('&'))) + 24,
                 metrics.height() + 10);
}

void CCustomButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = rect();
    painter.fillRect(area, isEnabled() ? FaceColor() : DisabledFaceColor());
    if (isDown()) {
        // The sunken edge of a pressed button: shadow outside, dark shadow inside, top and left.
        painter.setPen(QColor(160, 160, 160));
        painter.drawLine(area.topLeft(), area.topRight());
        painter.drawLine(area.topLeft(), area.bottomLeft());
        painter.setPen(QColor(105, 105, 105));
        painter.drawLine(area.left() + 1, area.top() + 1, area.right() - 1, area.top() + 1);
        painter.drawLine(area.left() + 1, area.top() + 1, area.left() + 1, area.bottom() - 1);
    }
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
    if (hasFocus()) {
        // Keyboard users need to see where the focus is; a dotted white frame inside the face.
        QPen pen(Qt::white);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(area.adjusted(3, 3, -4, -4));
    }
}

void CCustomButton::keyPressEvent(QKeyEvent* event) {
    // Enter on a focused dialog button presses it; a button that leaves Enter alone passes it on.
    if (enterPresses_ && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (isEnabled()) {
            animateClick();
        }
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

}  // namespace qe
