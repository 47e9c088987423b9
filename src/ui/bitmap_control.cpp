#include "ui/bitmap_control.h"

#include <algorithm>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <csetjmp>
#include <cstdio>
#include <mutex>

#include <jpeglib.h>

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

namespace {

struct JpegErrors {
    jpeg_error_mgr manager;  // first: the decoder hands back a pointer to it
    std::jmp_buf escape;
};

[[noreturn]] void LeaveDecoder(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->escape, 1);
}

// Warnings say nothing the outcome does not: a truncated picture shows what could be decoded.
void IgnoreMessage(j_common_ptr, int) {}

// The decoder reports its progress between the pieces of input it reads: it is the one reader of
// the scans, so a walk of the segments beside it cannot miscount them.
void StopPastScanCap(j_common_ptr info) {
    if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > CBitmapCtrl::kMaxScans) {
        LeaveDecoder(info);
    }
}

bool WithinLimits(JDIMENSION width, JDIMENSION height) {
    return width > 0 && height > 0 && width <= CBitmapCtrl::kMaxSide &&
           height <= CBitmapCtrl::kMaxSide &&
           qint64{width} * height * 4 <= CBitmapCtrl::kMaxDecodedBytes;
}

// Nothing with a destructor lives in this frame: the decoder's errors leave it by longjmp.
bool DecodeJpeg(const QByteArray& data, QImage& image) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    jpeg_progress_mgr progress{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = LeaveDecoder;
    errors.manager.emit_message = IgnoreMessage;
    progress.progress_monitor = StopPastScanCap;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    info.progress = &progress;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.constData()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    // The header says how large the image would be; a huge one is refused before decoding.
    if (!WithinLimits(info.image_width, info.image_height)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);  // reads every scan of a progressive picture
    image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   QImage::Format_RGB888);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

QImage ReadPreviewImage(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // Only the one format the server sends is decoded, by the JPEG library itself: a delivery
    // that is something else reaches no other decoder, and a progressive picture that repeats a
    // small scan without end is stopped at the cap instead of keeping the decoder busy.
    const QByteArray data = file.readAll();
    QImage image;
    if (!DecodeJpeg(data, image)) {
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
        QStringLiteral("Derulați declarația cu tastele săgeți, Page Up, Page Down, Home și End."));
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
