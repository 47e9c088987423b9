#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qe {

// The rich text of the alert dialogs, read into plain data (no Qt here, so the reader can be
// fuzzed on its own). It takes the subset the catalogue's two rich texts use: groups, \par, \qc,
// \f with \fcharset0 (cp1252) and \fcharset238 (cp1250) for \'xx, \uN with \ucN, \cf, \highlight,
// \fs, \ul, \b, \i, \sa, \sl/\slmult and the HYPERLINK field. Unknown control words are skipped,
// ignorable destinations ({\* ...}) are dropped, and any byte sequence reads to some document.

struct RtfColor {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const RtfColor&) const = default;
};

struct RtfRun {
    std::wstring text;
    int halfPoints = 24;
    std::optional<RtfColor> color;      // none: the default text colour
    std::optional<RtfColor> highlight;  // none: no background
    bool bold = false;
    bool italic = false;
    bool underline = false;
    std::string link;  // target of the HYPERLINK field the run stands in; empty for plain text
};

enum class RtfAlignment { Left, Centre, Right, Justify };

struct RtfParagraph {
    RtfAlignment alignment = RtfAlignment::Left;
    int spaceAfterTwips = 0;
    int lineSpacing = 0;  // \sl: 0 single; with `lineMultiple` in 240ths of a line
    bool lineMultiple = false;
    std::vector<RtfRun> runs;

    std::wstring Text() const;
};

struct RtfDocument {
    std::vector<RtfParagraph> paragraphs;

    // The visible text, paragraphs joined by '\n'.
    std::wstring Text() const;
};

RtfDocument ReadRtf(std::string_view source);

// Wide text as RTF source bytes: ASCII as it stands, every other character as \uN? (N the signed
// 16-bit value of each UTF-16 unit), so no character depends on a code page.
std::string RtfSourceFromWide(std::wstring_view text);

}  // namespace qe
