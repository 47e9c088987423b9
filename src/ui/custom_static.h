#pragma once

#include <QString>
#include <QWidget>

namespace qe {

// The wizard's text label: grey text, centred and word-wrapped, drawn with no background so the
// window's picture shows through. It holds its own text; what does not fit is cut at the last
// line that does, with "..." after it.
class CCustomStatic : public QWidget {
    Q_OBJECT
public:
    explicit CCustomStatic(QWidget* parent = nullptr);

    void SetText(const QString& text);
    const QString& Text() const { return text_; }
    // The text as drawn at the label's size.
    QString ShownText() const;

    static QColor TextColor();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
};

}  // namespace qe
