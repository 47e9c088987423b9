#include "sim/previews.h"

#include <cmath>
#include <mutex>

#include <QBuffer>
#include <QFont>
#include <QImage>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

namespace qe::sim {
namespace {

// The page is laid out in PostScript points of an A4 sheet; each device scales it.
constexpr double kPageWidth = 595.0;
constexpr double kPageHeight = 842.0;
constexpr double kMargin = 64.0;

// Qt's font machinery is shared by the whole process; one page at a time.
std::mutex renderMutex;

QFont PageFont(int size, bool bold) {
    QFont font("Roboto");
    font.setPixelSize(size);
    font.setBold(bold);
    return font;
}

double DrawBlock(QPainter& painter, double top, const QString& text, const QFont& font, int flags) {
    painter.setFont(font);
    const QRectF area(kMargin, top, kPageWidth - 2 * kMargin, kPageHeight - top - kMargin);
    QRectF used;
    painter.drawText(area, flags | Qt::TextWordWrap, text, &used);
    return used.bottom();
}

void PaintPage(QPainter& painter, const Declaration& declaration) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.fillRect(QRectF(0, 0, kPageWidth, kPageHeight), Qt::white);
    painter.setPen(QColor(0x1F, 0x2A, 0x44));
    painter.drawRect(QRectF(kMargin / 2, kMargin / 2, kPageWidth - kMargin, kPageHeight - kMargin));

    painter.setPen(Qt::black);
    double y = kMargin;
    y = DrawBlock(painter, y, QString::fromStdString(declaration.Title()), PageFont(18, true),
                  Qt::AlignHCenter);
    y = DrawBlock(painter, y + 4, "a certificatului calificat", PageFont(12, false),
                  Qt::AlignHCenter);
    y += 28;
    for (const std::string& paragraph : declaration.Paragraphs()) {
        y = DrawBlock(painter, y, QString::fromStdString(paragraph), PageFont(11, false),
                      Qt::AlignLeft | Qt::AlignJustify) +
            10;
    }
    DrawBlock(painter, y + 40,
              "Semnătura electronică a titularului: se aplică la acceptarea declarației.",
              PageFont(10, false), Qt::AlignRight);
}

}  // namespace

Bytes RenderDeclarationPdf(const Declaration& declaration) {
    std::lock_guard lock(renderMutex);
    QByteArray pdf;
    {
        QBuffer buffer(&pdf);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
        writer.setResolution(300);
        writer.setTitle(QString::fromStdString(declaration.Title()));
        writer.setCreator("Quorvane Authority Simulator");
        QPainter painter;
        if (!painter.begin(&writer)) {
            return {};
        }
        const double scale = writer.width() / kPageWidth;
        painter.scale(scale, scale);
        PaintPage(painter, declaration);
        painter.end();
    }
    return Bytes(pdf.begin(), pdf.end());
}

Bytes RenderDeclarationJpeg(const Declaration& declaration, int width) {
    if (width < kMinPreviewWidth || width > kMaxPreviewWidth) {
        return {};
    }
    std::lock_guard lock(renderMutex);
    const int height = static_cast<int>(std::lround(width * kPageHeight / kPageWidth));
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    {
        QPainter painter(&image);
        const double scale = width / kPageWidth;
        painter.scale(scale, scale);
        PaintPage(painter, declaration);
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", 90)) {
        return {};
    }
    return Bytes(jpeg.begin(), jpeg.end());
}

}  // namespace qe::sim
