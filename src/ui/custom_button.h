#pragma once

#include <QAbstractButton>

namespace qe {

// The wizard's flat command button: a red face (pale when disabled) with white, centred text in
// the font its owner sets; pressed, it shows a sunken edge on its top and left sides only.
class CCustomButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit CCustomButton(const QString& text, QWidget* parent = nullptr);

    static QColor FaceColor();
    static QColor DisabledFaceColor();

    QSize sizeHint() const override;

    // Whether Enter on the focused button presses it, as in a dialog (the default). Without it
    // only Space and the mouse press it, and Enter goes on to the window.
    void SetEnterPresses(bool presses) { enterPresses_ = presses; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool enterPresses_ = true;
};

}  // namespace qe
