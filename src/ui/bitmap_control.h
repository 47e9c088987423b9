#pragma once

#include <QAbstractSlider>
#include <QImage>
#include <QString>
#include <QWidget>

class QScrollBar;

namespace qe {

// Shows one image at its own size from the top left of a grey (128) surface inside a sunken
// edge, and scrolls it vertically: 1 pixel a line, 20 a page, the thumb where it is dragged,
// half the wheel's delta per wheel step, always between the image's top and the position where
// its bottom meets the control's. A short image gets no scroll bar and never moves. Without an
// image it says "File not found.". It takes the keyboard: the arrows scroll a line, Page Up and
// Page Down a page, Home and End to either end.
class CBitmapCtrl : public QWidget {
    Q_OBJECT
public:
    // Decoded images larger than this are refused before they are decoded (4 bytes a pixel).
    static constexpr qint64 kMaxDecodedBytes = 64LL * 1024 * 1024;
    static constexpr int kMaxSide = 16384;
    // Encoders write about ten scans for a progressive picture.
    static constexpr int kMaxScans = 100;
    // The sunken edge around the client area, on each side.
    static constexpr int kEdge = 2;

    explicit CBitmapCtrl(QWidget* parent = nullptr);

    // Reads a JPEG file and shows it; a file that is missing, not a JPEG, larger than the limits
    // above or undecodable shows "File not found." (a truncated one shows what could be decoded).
    void LoadFile(const QString& path);
    // Shows an image (a null one: "File not found."), scrolled to its top.
    void SetBitmap(const QImage& image);

    bool HasImage() const { return !image_.isNull(); }
    int ScrollPosition() const { return position_; }
    QScrollBar* ScrollBar() const { return scrollBar_; }
    // Where the image shows: inside the edge, less the scroll bar when there is one.
    QRect ClientRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shows or hides the scroll bar for the image and the control's size.
    void Layout();
    void OnScrollAction(int action);
    void ScrollTo(int position);
    int MaxPosition() const;

    QScrollBar* scrollBar_ = nullptr;
    QImage image_;
    int position_ = 0;
    bool adjusting_ = false;
};

// Reads a JPEG file within CBitmapCtrl's limits (size, and scans as the decoder reads them);
// null when it cannot or must not be decoded. Safe on any thread.
QImage ReadPreviewImage(const QString& path);

}  // namespace qe
