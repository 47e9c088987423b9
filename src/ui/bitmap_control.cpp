#include "ui/bitmap_control.h"

#include <algorithm>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <mutex>

namespace qe {
namespace {

constexpr int kLineStep = 1;
constexpr int kPageStep = 20;
const QColor kSurface(128, 128, 128);

// A screen reader announces the preview as the document it shows, under the name its owner gives.
QAccessibleInterface* PreviewAccessibility(const QString& className, QObject* object) {
    if (className == QLatin1String("qe::CBitmapCtrl") && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Document);
    }
    return nullptr;
}

}  // namespace

int CountJpegScans(const QByteArray& data) {
    const auto at = [&data](qsizetype i) { return static_cast<unsigned char>(data[i]); };
    int scans = 0;
    qsizetype i = 2;  // after the start-of-image marker
    while (i + 3 < data.size()) {
        if (at(i) != 0xFF) {
            ++i;  // not a marker where one should be: look for the next
            continue;
        }
        const unsigned marker = at(i + 1);
        if (marker == 0xFF) {
            ++i;  // fill byte
            continue;
        }
        if (marker == 0xD9) {
            break;  // end of image
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            i += 2;  // markers without a length
            continue;
        }
        i += 2 + ((qsizetype{at(i + 2)} << 8) | at(i + 3));
        if (marker == 0xDA) {
            ++scans;
            // The scan's coded data runs to the next marker other than a stuffed byte or a
            // restart.
            while (i + 1 < data.size() && !(at(i) == 0xFF && at(i + 1) != 0x00 &&
                                            (at(i + 1) < 0xD0 || at(i + 1) > 0xD7))) {
                ++i;
            }
        }
    }
    return scans;
}

QImage ReadPreviewImage(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // A progressive picture can repeat a small scan without end and keep the decoder busy for
    // many seconds: a picture of more scans than any encoder makes is refused before decoding.
    const QByteArray data = file.readAll();
    if (CountJpegScans(data) > CBitmapCtrl::kMaxScans) {
        return {};
    }
    QBuffer buffer;
    buffer.setData(data);
    // Only the one format the server sends is decoded: a delivery that is something else does
    // not reach the other decoders.
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoDetectImageFormat(false);
    // The header says how large the image would be; a huge one is refused before decoding, and
    // the allocation limit stops whatever the header check lets through.
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > CBitmapCtrl::kMaxSide ||
        size.height() > CBitmapCtrl::kMaxSide ||
        qint64{size.width()} * size.height() * 4 > CBitmapCtrl::kMaxDecodedBytes) {
        return {};
    }
    // Set once: the limit is the whole program's, and previews are read on workers.
    static const bool limited = [] {
        QImageReader::setAllocationLimit(static_cast<int>(CBitmapCtrl::kMaxDecodedBytes >> 20));
        return true;
    }();
    (void)limited;
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

CBitmapCtrl::CBitmapCtrl(QWidget* parent) : QWidget(parent) {
    scrollBar_ = new QScrollBar(Qt::Vertical, this);
    scrollBar_->setSingleStep(kLineStep);
    scrollBar_->hide();
    scrollBar_->installEventFilter(this);
    connect(scrollBar_, &QAbstractSlider::actionTriggered, this, &CBitmapCtrl::OnScrollAction);
    connect(scrollBar_, &QAbstractSlider::valueChanged, this, [this](int value) {
        if (!adjusting_) {
            ScrollTo(value);
        }
    });
    setAttribute(Qt::WA_OpaquePaintEvent);
    static std::once_flag registered;
    std::call_once(registered, [] { QAccessible::installFactory(PreviewAccessibility); });
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleDescription(
        QStringLiteral("Săgețile, Page Up, Page Down, Home și End derulează imaginea."));
}

void CBitmapCtrl::LoadFile(const QString& path) {
    SetBitmap(ReadPreviewImage(path));
}

void CBitmapCtrl::SetBitmap(const QImage& image) {
    image_ = image;
    position_ = 0;
    Layout();
}

QRect CBitmapCtrl::ClientRect() const {
    QRect client = rect().adjusted(kEdge, kEdge, -kEdge, -kEdge);
    if (!scrollBar_->isHidden()) {
        client.setRight(client.right() - scrollBar_->width());
    }
    return client;
}

int CBitmapCtrl::MaxPosition() const {
    const int clientHeight = height() - 2 * kEdge;
    return image_.isNull() ? 0 : std::max(0, image_.height() - clientHeight);
}

void CBitmapCtrl::resizeEvent(QResizeEvent*) {
    Layout();
}

void CBitmapCtrl::Layout() {
    const QRect inside = rect().adjusted(kEdge, kEdge, -kEdge, -kEdge);
    const int barWidth = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scrollBar_);
    adjusting_ = true;
    if (MaxPosition() > 0) {
        scrollBar_->setGeometry(inside.right() + 1 - barWidth, inside.top(), barWidth,
                                inside.height());
        scrollBar_->setRange(0, MaxPosition());
        scrollBar_->setPageStep(inside.height());  // the thumb's share of the track
        scrollBar_->show();
    } else {
        scrollBar_->setRange(0, 0);
        scrollBar_->hide();
    }
    adjusting_ = false;
    ScrollTo(position_);
}

void CBitmapCtrl::OnScrollAction(int action) {
    if (adjusting_) {
        return;
    }
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:
            ScrollTo(position_ - kLineStep);
            break;
        case QAbstractSlider::SliderSingleStepAdd:
            ScrollTo(position_ + kLineStep);
            break;
        case QAbstractSlider::SliderPageStepSub:
            ScrollTo(position_ - kPageStep);
            break;
        case QAbstractSlider::SliderPageStepAdd:
            ScrollTo(position_ + kPageStep);
            break;
        case QAbstractSlider::SliderToMinimum:
            ScrollTo(0);
            break;
        case QAbstractSlider::SliderToMaximum:
            ScrollTo(MaxPosition());
            break;
        case QAbstractSlider::SliderMove:
            ScrollTo(scrollBar_->sliderPosition());
            break;
        default:
            break;
    }
}

void CBitmapCtrl::ScrollTo(int position) {
    position_ = std::clamp(position, 0, MaxPosition());
    // Setting the slider re-enters through its action and value signals; they must not step again.
    adjusting_ = true;
    scrollBar_->setSliderPosition(position_);
    scrollBar_->setValue(position_);
    adjusting_ = false;
    update();
}

void CBitmapCtrl::wheelEvent(QWheelEvent* event) {
    ScrollTo(position_ - event->angleDelta().y() / 2);
    event->accept();
}

void CBitmapCtrl::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
            return OnScrollAction(QAbstractSlider::SliderSingleStepSub);
        case Qt::Key_Down:
            return OnScrollAction(QAbstractSlider::SliderSingleStepAdd);
        case Qt::Key_PageUp:
            return OnScrollAction(QAbstractSlider::SliderPageStepSub);
        case Qt::Key_PageDown:
            return OnScrollAction(QAbstractSlider::SliderPageStepAdd);
        case Qt::Key_Home:
            return OnScrollAction(QAbstractSlider::SliderToMinimum);
        case Qt::Key_End:
            return OnScrollAction(QAbstractSlider::SliderToMaximum);
        default:
            QWidget::keyPressEvent(event);
    }
}

bool CBitmapCtrl::eventFilter(QObject* watched, QEvent* event) {
    // The wheel over the scroll bar moves the image by the control's own rule, not the bar's.
    if (watched == scrollBar_ && event->type() == QEvent::Wheel) {
        wheelEvent(static_cast<QWheelEvent*>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CBitmapCtrl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The sunken client edge: shadow and highlight outside, dark shadow and light inside.
    const QRect r = rect();
    painter.setPen(QColor(160, 160, 160));
    painter.drawLine(r.left(), r.top(), r.right() - 1, r.top());
    painter.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
    painter.setPen(Qt::white);
    painter.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter.drawLine(r.right(), r.top(), r.right(), r.bottom());
    painter.setPen(QColor(105, 105, 105));
    painter.drawLine(r.left() + 1, r.top() + 1, r.right() - 2, r.top() + 1);
    painter.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 2);
    painter.setPen(QColor(227, 227, 227));
    painter.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    painter.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);

    const QRect inside = r.adjusted(kEdge, kEdge, -kEdge, -kEdge);
    painter.fillRect(inside, kSurface);
    if (image_.isNull()) {
        painter.setPen(Qt::black);
        painter.drawText(inside, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         QStringLiteral("File not found."));
        return;
    }
    const QRect client = ClientRect();
    painter.save();
    painter.setClipRect(client);
    painter.drawImage(client.topLeft() - QPoint(0, position_), image_);
    painter.restore();
    if (hasFocus()) {
        // Where the keyboard is: a dotted frame just inside the edge.
        QPen pen(Qt::white);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.drawRect(client.adjusted(1, 1, -2, -2));
    }
}

}  // namespace qe
