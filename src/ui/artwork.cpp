#include "ui/artwork.h"

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

// Renders the picture at `pictureSize` from the top left into a pixmap of `logicalSize`.
QPixmap Render(const QString& resource, QSize logicalSize, QSize pictureSize,
               qreal devicePixelRatio) {
    RegisterArtwork();
    QPixmap pixmap(logicalSize * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    painter.scale(devicePixelRatio, devicePixelRatio);
    renderer.render(&painter, QRectF(QPointF(0, 0), pictureSize));
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

}  // namespace

QPixmap BackgroundPicture(QSize visible, qreal devicePixelRatio) {
    return Render(QStringLiteral(":/qe/background.svg"), visible.boundedTo(kBackgroundSize),
                  kBackgroundSize, devicePixelRatio);
}

QPixmap ProgramIconPixmap(int logicalSize, qreal devicePixelRatio) {
    const QSize size(logicalSize, logicalSize);
    return Render(QStringLiteral(":/qe/icon.svg"), size, size, devicePixelRatio);
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(ProgramIconPixmap(size, 1.0));
    }
    return icon;
}

}  // namespace qe
