#include "ui/rtf_reader.h"

#include <cstdint>
#include <utility>

#include "ui/rtf_reader_state.h"

namespace qe {
namespace rtf_detail {

void Reader::Character(wchar_t c) {
    GroupState& s = State();
    switch (s.destination) {
        case Destination::Skip:
            return;
        case Destination::FontTable:
            return;  // font names are not used: the reader picks its own faces
        case Destination::ColorTable:
            if (c == L';' && colors_.size() < kMaxTableEntries) {
                colors_.push_back(colorSeen_ ? std::optional(pendingColor_) : std::nullopt);
                pendingColor_ = {};
                colorSeen_ = false;
            }
            return;
        case Destination::FieldInstruction:
            if (instruction_.size() < 2048 && c < 0x80) {
                instruction_.push_back(static_cast<char>(c));
            }
            return;
        case Destination::Text:
        case Destination::FieldResult:
            break;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
        FlushPendingSurrogate();
        highSurrogate_ = c;
        return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (highSurrogate_ == 0) {
            Append(kReplacement);
            return;
        }
        const wchar_t combined = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00);
        highSurrogate_ = 0;
        Append(combined);
        return;
    }
    FlushPendingSurrogate();
    if (c < 0x20 && c != L'\t') {
        return;
    }
    Append(c);
}

void Reader::FlushPendingSurrogate() {
    if (highSurrogate_ != 0) {
        highSurrogate_ = 0;
        Append(kReplacement);
    }
}

std::optional<RtfColor> Reader::Color(int index) const {
    if (index <= 0 || static_cast<std::size_t>(index) >= colors_.size()) {
        return std::nullopt;
    }
    return colors_[static_cast<std::size_t>(index)];
}

void Reader::Append(wchar_t c) {
    const GroupState& s = State();
    RtfRun run;
    run.halfPoints = s.halfPoints;
    run.color = Color(s.color);
    run.highlight = Color(s.highlight);
    run.bold = s.bold;
    run.italic = s.italic;
    run.underline = s.underline;
    if (s.destination == Destination::FieldResult) {
        run.link = fieldLink_;
    }
    TakeParagraphFormat();
    auto& runs = paragraph_.runs;
    if (runs.empty() || runs.back().halfPoints != run.halfPoints ||
        runs.back().color != run.color || runs.back().highlight != run.highlight ||
        runs.back().bold != run.bold || runs.back().italic != run.italic ||
        runs.back().underline != run.underline || runs.back().link != run.link) {
        runs.push_back(std::move(run));
    }
    runs.back().text.push_back(c);
}

void Reader::TakeParagraphFormat() {
    const GroupState& s = State();
    paragraph_.alignment = s.alignment;
    paragraph_.spaceAfterTwips = s.spaceAfter;
    paragraph_.lineSpacing = s.lineSpacing;
    paragraph_.lineMultiple = s.lineMultiple;
}

void Reader::EndParagraph() {
    if (State().destination != Destination::Text &&
        State().destination != Destination::FieldResult) {
        return;
    }
    FlushPendingSurrogate();
    TakeParagraphFormat();
    doc_.paragraphs.push_back(std::move(paragraph_));
    paragraph_ = {};
}

}  // namespace rtf_detail

using rtf_detail::kReplacement;
using rtf_detail::Reader;

std::wstring RtfParagraph::Text() const {
    std::wstring text;
    for (const RtfRun& run : runs) {
        text += run.text;
    }
    return text;
}

std::wstring RtfDocument::Text() const {
    std::wstring text;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0) {
            text += L'\n';
        }
        text += paragraphs[i].Text();
    }
    return text;
}

RtfDocument ReadRtf(std::string_view source) {
    return Reader(source).Read();
}

std::string RtfSourceFromWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    auto unit = [&out](unsigned value) {
        out += "\\u" + std::to_string(static_cast<int>(static_cast<std::int16_t>(value))) + "?";
    };
    for (const wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x10000) {
            unit(code);
        } else if (code <= 0x10FFFF) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(kReplacement);
        }
    }
    return out;
}

}  // namespace qe