#include "ui/screen_fit.h"

#include <algorithm>

#include <QApplication>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>

namespace qe {
namespace {

// The focus chain of `window`'s descendants, in order.
QList<QWidget*> FocusChain(QWidget* window) {
    QList<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w != nullptr && w != window;
         w = w->nextInFocusChain()) {
        chain.append(w);
    }
    return chain;
}

// Where a window that was made smaller goes: over its owner, or in the middle of the screen, and
// wholly on the screen.
void Recentre(QWidget* window) {
    const QRect free = window->screen()->availableGeometry();
    const QWidget* owner =
        window->parentWidget() != nullptr ? window->parentWidget()->window() : nullptr;
    QRect placed(QPoint(), window->size());
    placed.moveCenter(owner != nullptr && owner->isVisible() ? owner->geometry().center()
                                                             : free.center());
    placed.moveLeft(std::clamp(placed.left(), free.left(),
                               std::max(free.left(), free.right() - placed.width())));
    placed.moveTop(std::clamp(placed.top(), free.top(),
                              std::max(free.top(), free.bottom() - placed.height())));
    window->move(placed.topLeft());
}

class ScreenFitter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show && object->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(object);
            if (widget->isWindow() && widget->windowType() != Qt::Popup &&
                widget->windowType() != Qt::ToolTip) {
                const QSize before = widget->size();
                FitWindow(widget, ScreenRoom(widget));
                if (widget->size() != before) {
                    Recentre(widget);
                }
            }
        }
        return false;
    }
};

}  // namespace

QSize ScreenRoom(const QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen == nullptr) {
        return {};
    }
    const int edge = 4;
    const int title = window->style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * edge;
    return screen->availableGeometry().size() - QSize(2 * edge, title + edge);
}

void FitWindowsToScreen() {
    qApp->installEventFilter(new ScreenFitter(qApp));
}

void FitWindow(QWidget* window, const QSize& room) {
    // A message box sizes itself to the screen when it is shown.
    if (!room.isValid() || qobject_cast<QMessageBox*>(window) != nullptr ||
        window->findChild<QScrollArea*>(QStringLiteral("qe_fit")) != nullptr) {
        return;
    }
    const QSize design = window->size();
    if (design.width() <= room.width() && design.height() <= room.height()) {
        return;
    }
    // The window's content moves, as it is, onto a panel inside a scroll area that fills the
    // window at the size that fits: with its layout, or control by control at the designed size.
    const QList<QWidget*> chain = FocusChain(window);
    auto* area = new QScrollArea(window);
    area->setObjectName(QStringLiteral("qe_fit"));
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    auto* panel = new QWidget;
    if (QLayout* layout = window->layout()) {
        panel->setLayout(layout);  // takes the layout's widgets along
        area->setWidgetResizable(true);
        auto* frame = new QVBoxLayout(window);
        frame->setContentsMargins(0, 0, 0, 0);
        frame->addWidget(area);
    } else {
        panel->setFixedSize(design);
        for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child == area || child->isWindow()) {
                continue;
            }
            const bool hidden = child->isHidden();
            child->setParent(panel);
            child->setHidden(hidden);
        }
    }
    area->setWidget(panel);
    // Room for the scroll bar across one side, so that it does not call for the other.
    const int bar = area->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    QSize fitted = design.boundedTo(room);
    if (design.height() > room.height()) {
        fitted.setWidth(std::min(design.width() + bar, room.width()));
    }
    if (design.width() > room.width()) {
        fitted.setHeight(std::min(design.height() + bar, room.height()));
    }
    window->setFixedSize(fitted);
    area->setGeometry(QRect(QPoint(0, 0), fitted));
    area->show();
    for (qsizetype i = 1; i < chain.size(); ++i) {
        if (panel->isAncestorOf(chain[i - 1]) && panel->isAncestorOf(chain[i])) {
            QWidget::setTabOrder(chain[i - 1], chain[i]);
        }
    }
}

}  // namespace qe
