#pragma once

class QWidget;
class QSize;

namespace qe {

// Every window of the program fits the screen it opens on, whatever the desktop's scale: from the
// call on, a window larger than its screen's free area (less room for the title bar) opens at the
// size that fits, centred on its owner, its content in a scroll area at the designed size that
// the keyboard scrolls to whatever takes the focus (a message box sizes itself). Call once the
// application object exists.
void FitWindowsToScreen();

// The room on `window`'s screen that a window may fill: the free area less a title bar and the
// frame's edges, which a window that has not been mapped yet cannot measure; empty without a
// screen.
QSize ScreenRoom(const QWidget* window);

// Fits one window to `room` (the part of the screen a window may fill) as above.
void FitWindow(QWidget* window, const QSize& room);

}  // namespace qe
