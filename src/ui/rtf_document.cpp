#include "ui/rtf_document.h"

#include <QColor>
#include <QString>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>

#include "ui/rtf_reader.h"

namespace qe {
namespace {

// One twip is a twentieth of a point; the text view lays out at 96 pixels to the inch.
constexpr double kPixelsPerTwip = 96.0 / 1440.0;

QColor ToQColor(const RtfColor& c) {
    return QColor(c.red, c.green, c.blue);
}

QTextBlockFormat BlockFormat(const RtfParagraph& p) {
    QTextBlockFormat format;
    switch (p.alignment) {
        case RtfAlignment::Left:
            format.setAlignment(Qt::AlignLeft);
            break;
        case RtfAlignment::Centre:
            format.setAlignment(Qt::AlignHCenter);
            break;
        case RtfAlignment::Right:
            format.setAlignment(Qt::AlignRight);
            break;
        case RtfAlignment::Justify:
            format.setAlignment(Qt::AlignJustify);
            break;
    }
    format.setBottomMargin(p.spaceAfterTwips * kPixelsPerTwip);
    // \sl276\slmult1 (1.15 lines) is not applied: Qt already spaces the text face's lines about
    // as wide as 1.15 lines would be, and more would push the text out of its box.
    return format;
}

QTextCharFormat CharFormat(const RtfRun& run) {
    QTextCharFormat format;
    // The texts ask for Calibri; its metric twin and the program's own face stand in for it.
    format.setFontFamilies(
        {QStringLiteral("Calibri"), QStringLiteral("Carlito"), QStringLiteral("Roboto")});
    format.setFontPointSize(run.halfPoints / 2.0);
    format.setFontWeight(run.bold ? QFont::Bold : QFont::Normal);
    format.setFontItalic(run.italic);
    format.setFontUnderline(run.underline);
    if (run.color) {
        format.setForeground(ToQColor(*run.color));
    }
    if (run.highlight) {
        format.setBackground(ToQColor(*run.highlight));
    }
    if (!run.link.empty()) {
        format.setAnchor(true);
        format.setAnchorHref(QString::fromStdString(run.link));
        format.setForeground(QColor(0, 0, 255));
        format.setFontUnderline(true);
    }
    return format;
}

}  // namespace

std::unique_ptr<QTextDocument> RtfToDocument(std::wstring_view rtf) {
    const RtfDocument source = ReadRtf(RtfSourceFromWide(rtf));
    auto document = std::make_unique<QTextDocument>();
    QTextCursor cursor(document.get());
    bool first = true;
    for (const RtfParagraph& paragraph : source.paragraphs) {
        if (first) {
            cursor.setBlockFormat(BlockFormat(paragraph));
            first = false;
        } else {
            cursor.insertBlock(BlockFormat(paragraph));
        }
        for (const RtfRun& run : paragraph.runs) {
            cursor.insertText(QString::fromStdWString(run.text), CharFormat(run));
        }
    }
    return document;
}

}  // namespace qe
