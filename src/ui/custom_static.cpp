#include "ui/custom_static.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
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

constexpr int kFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

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

QString CCustomStatic::ShownText() const {
    const QFontMetrics metrics(font());
    const auto fits = [&](const QString& text) {
        const QRect needed = metrics.boundingRect(rect(), kFlags, text);
        return needed.height() <= height() && needed.width() <= width();  // a word too long
    };
    if (fits(text_)) {
        return text_;
    }
    // The longest beginning that fits with the ellipsis.
    qsizetype fitting = 0, over = text_.size();
    while (over - fitting > 1) {
        const qsizetype middle = (fitting + over) / 2;
        (fits(text_.left(middle) + QStringLiteral("...")) ? fitting : over) = middle;
    }
    return text_.left(fitting) + QStringLiteral("...");
}

QColor CCustomStatic::TextColor() {
    return QColor(96, 96, 96);
}

void CCustomStatic::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(TextColor());
    painter.setFont(font());
    painter.drawText(rect(), kFlags, ShownText());
}

}  // namespace qe
