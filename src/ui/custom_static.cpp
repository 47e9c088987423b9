#include "ui/custom_static.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

#include <mutex>

namespace qe {
namespace {

// Screen readers announce the label as static text with its own text as name.
QAccessibleInterface* LabelAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("qe::CCustomStatic") && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::StaticText);
    }
    return nullptr;
}

}  // namespace

CCustomStatic::CCustomStatic(QWidget* parent) : QWidget(parent) {
    static std::once_flag registered;
    std::call_once(registered, [] { QAccessible::installFactory(LabelAccessibility); });
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

void CCustomStatic::SetText(const QString& text) {
    text_ = text;
    setAccessibleName(text);
    update();
}

QColor CCustomStatic::TextColor() {
    return QColor(96, 96, 96);
}

void CCustomStatic::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(TextColor());
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text_);
}

}  // namespace qe
