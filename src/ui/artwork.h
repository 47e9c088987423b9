#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QSize>

namespace qe {

// The project's own artwork, drawn as SVG and rendered at the screen's device pixel ratio.

// The background picture is 1274 by 1024 logical pixels, shown at its own size from the top left;
// this renders the part of it that a window of `visible` size shows (on any thread), with the
// picture made `scale` times its size for a window laid out smaller.
inline constexpr QSize kBackgroundSize(1274, 1024);
QImage BackgroundPicture(QSize visible, qreal devicePixelRatio, qreal scale = 1.0);

// The program icon at the usual sizes.
QIcon ProgramIcon();
QPixmap ProgramIconPixmap(int logicalSize, qreal devicePixelRatio);

}  // namespace qe
