#include "ui/artwork.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

// The artwork is compiled into this static library; its resources are registered by hand.
static void RegisterArtwork() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(art);
        return true;
    }();
    (void)registered;
}

namespace qe {
namespace {

// Renders the picture at `pictureSize` from the top left into an image of `logicalSize`. Images,
// unlike pixmaps, may be painted on any thread.
QImage Render(const QString& resource, QSize logicalSize, QSize pictureSize,
              qreal devicePixelRatio) {
    RegisterArtwork();
    QImage image(logicalSize * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&image);
    painter.scale(devicePixelRatio, devicePixelRatio);
    renderer.render(&painter, QRectF(QPointF(0, 0), pictureSize));
    painter.end();
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

}  // namespace

QImage BackgroundPicture(QSize visible, qreal devicePixelRatio, qreal scale) {
    const QSize picture = (QSizeF(kBackgroundSize) * scale).toSize();
    return Render(QStringLiteral(":/qe/background.svg"), visible.boundedTo(picture), picture,
                  devicePixelRatio);
}

QPixmap ProgramIconPixmap(int logicalSize, qreal devicePixelRatio) {
    const QSize size(logicalSize, logicalSize);
    return QPixmap::fromImage(
        Render(QStringLiteral(":/qe/icon.svg"), size, size, devicePixelRatio));
}

QIcon ProgramIcon() {
    RegisterArtwork();
    // The SVG icon engine renders each size when it is first asked for.
    return QIcon(QStringLiteral(":/qe/icon.svg"));
}

}  // namespace qe
