#include "ui/rtf_reader.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <utility>

namespace qe {
namespace {

constexpr std::size_t kMaxDepth = 128;      // deeper groups are read as if flat
constexpr std::size_t kMaxWordLength = 32;  // longer control words are unknown ones
constexpr std::size_t kMaxTableEntries = 256;
constexpr wchar_t kReplacement = 0xFFFD;

// The upper halves of the two code pages the texts name, decoded once by the C library.
using CodePageHalf = std::array<wchar_t, 128>;

CodePageHalf DecodeUpperHalf(const char* codePage) {
    CodePageHalf table;
    table.fill(kReplacement);
    iconv_t cd = iconv_open("WCHAR_T", codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return table;
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        char in = static_cast<char>(0x80 + i);
        wchar_t out = 0;
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(&out);
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1) &&
            outLeft == 0) {
            table[i] = out;
        }
    }
    iconv_close(cd);
    return table;
}

wchar_t DecodeByte(unsigned char byte, int charset) {
    if (byte < 0x80) {
        return byte;
    }
    static const CodePageHalf cp1252 = DecodeUpperHalf("CP1252");
    static const CodePageHalf cp1250 = DecodeUpperHalf("CP1250");
    return (charset == 238 ? cp1250 : cp1252)[byte - 0x80];
}

enum class Destination { Text, Skip, FontTable, ColorTable, FieldInstruction, FieldResult };

struct GroupState {
    Destination destination = Destination::Text;
    int font = 0;
    int halfPoints = 24;
    int color = 0;
    int highlight = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int unicodeSkip = 1;
    RtfAlignment alignment = RtfAlignment::Left;
    int spaceAfter = 0;
    int lineSpacing = 0;
    bool lineMultiple = false;
    bool inField = false;
};

class Reader {
public:
    explicit Reader(std::string_view source) : src_(source) {}

    RtfDocument Read() {
        // A document in a group ends with that group; whatever follows is not read.
        const std::size_t first = src_.find_first_not_of(" \t\r\n");
        documentGroup_ = first != std::string_view::npos && src_[first] == '{';
        while (pos_ < src_.size() && !ended_) {
            const char c = src_[pos_++];
            switch (c) {
                case '{':
                    OpenGroup();
                    break;
                case '}':
                    CloseGroup();
                    break;
                case '\\':
                    ControlSequence();
                    break;
                case '\r':
                case '\n':
                    break;
                default:
                    Character(DecodeByte(static_cast<unsigned char>(c), Charset()));
                    break;
            }
        }
        FlushPendingSurrogate();
        if (!paragraph_.runs.empty()) {
            EndParagraph();
        }
        return std::move(doc_);
    }

private:
    GroupState& State() { return stack_.back(); }

    int Charset() {
        const auto it = fontCharsets_.find(State().font);
        return it == fontCharsets_.end() ? 0 : it->second;
    }

    void OpenGroup() {
        if (stack_.size() >= kMaxDepth) {
            ++flattened_;
            return;
        }
        stack_.push_back(State());
    }

    void CloseGroup() {
        if (flattened_ > 0) {
            --flattened_;
            return;
        }
        if (stack_.size() <= 1) {
            return;  // an unbalanced brace closes nothing
        }
        const GroupState closed = stack_.back();
        stack_.pop_back();
        ended_ = documentGroup_ && stack_.size() == 1;
        if (closed.inField && !State().inField) {
            fieldLink_.clear();
        }
    }

    void ControlSequence() {
        if (pos_ >= src_.size()) {
            return;
        }
        const char c = src_[pos_];
        if (!std::isalpha(static_cast<unsigned char>(c))) {
            ++pos_;
            ControlSymbol(c);
            return;
        }
        std::string word;
        while (pos_ < src_.size() && std::isalpha(static_cast<unsigned char>(src_[pos_]))) {
            if (word.size() <= kMaxWordLength) {
                word.push_back(src_[pos_]);
            }
            ++pos_;
        }
        std::optional<long> parameter;
        bool negative = false;
        if (pos_ < src_.size() && src_[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        long value = 0;
        bool digits = false;
        while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) {
            value = std::min(value * 10 + (src_[pos_] - '0'), 1'000'000'000L);
            digits = true;
            ++pos_;
        }
        if (digits) {
            parameter = negative ? -value : value;
        }
        if (pos_ < src_.size() && src_[pos_] == ' ') {
            ++pos_;  // the delimiter belongs to the control word
        }
        ControlWord(word, parameter);
    }

    void ControlSymbol(char c) {
        switch (c) {
            case '\\':
            case '{':
            case '}':
                Character(static_cast<unsigned char>(c));
                break;
            case '~':
                Character(0x00A0);
                break;
            case '_':
                Character(0x2011);
                break;
            case '\'':
                HexByte();
                break;
            case '*':
                ignorableNext_ = true;
                break;
            case '\r':
            case '\n':
                EndParagraph();
                break;
            default:
                break;  // \- and symbols we do not know
        }
    }

    void HexByte() {
        int value = 0;
        for (int i = 0; i < 2; ++i) {
            if (pos_ >= src_.size() || !std::isxdigit(static_cast<unsigned char>(src_[pos_]))) {
                return;
            }
            const char h = static_cast<char>(std::tolower(static_cast<unsigned char>(src_[pos_])));
            value = value * 16 + (h <= '9' ? h - '0' : h - 'a' + 10);
            ++pos_;
        }
        Character(DecodeByte(static_cast<unsigned char>(value), Charset()));
    }

    static bool SkippedDestination(const std::string& word) {
        static const char* const kSkipped[] = {"stylesheet", "info",      "pict",
                                               "header",     "footer",    "object",
                                               "listtable",  "themedata", "datastore"};
        return std::find(std::begin(kSkipped), std::end(kSkipped), word) != std::end(kSkipped);
    }

    // Destination control words switch what the group's text is for; true when `word` was one.
    bool StartDestination(const std::string& word) {
        const bool ignorable = std::exchange(ignorableNext_, false);
        GroupState& s = State();
        if (word == "fonttbl") {
            s.destination = Destination::FontTable;
        } else if (word == "colortbl") {
            s.destination = Destination::ColorTable;
            colorSeen_ = false;
        } else if (word == "fldinst") {
            s.destination = s.inField ? Destination::FieldInstruction : Destination::Skip;
            instruction_.clear();
        } else if (word == "fldrslt") {
            s.destination = Destination::FieldResult;
            fieldLink_ = HyperlinkTarget(instruction_);
        } else if (ignorable || SkippedDestination(word)) {
            s.destination = Destination::Skip;  // after \* an unknown destination goes whole
        } else {
            return false;
        }
        return true;
    }

    void ControlWord(const std::string& word, std::optional<long> parameter) {
        GroupState& s = State();
        if (s.destination == Destination::Skip) {
            ignorableNext_ = false;
            return;
        }
        if (StartDestination(word)) {
            return;
        }
        const long p = parameter.value_or(1);
        const int n = static_cast<int>(std::clamp(p, -1'000'000L, 1'000'000L));
        if (s.destination == Destination::FontTable) {
            if (word == "f") {
                tableFont_ = n;
            } else if (word == "fcharset" && fontCharsets_.size() < kMaxTableEntries) {
                fontCharsets_[tableFont_] = n;
            }
            return;
        }
        if (s.destination == Destination::ColorTable) {
            const auto channel = static_cast<std::uint8_t>(std::clamp(n, 0, 255));
            if (word == "red") {
                pendingColor_.red = channel;
            } else if (word == "green") {
                pendingColor_.green = channel;
            } else if (word == "blue") {
                pendingColor_.blue = channel;
            } else {
                return;
            }
            colorSeen_ = true;
            return;
        }
        if (word == "u") {
            UnicodeCharacter(n);
        } else if (word == "uc") {
            s.unicodeSkip = std::clamp(n, 0, 10);
        } else if (word == "par") {
            EndParagraph();
        } else if (word == "line") {
            Character(0x2028);
        } else if (word == "tab") {
            Character(L'\t');
        } else if (word == "pard") {
            s.alignment = RtfAlignment::Left;
            s.spaceAfter = 0;
            s.lineSpacing = 0;
            s.lineMultiple = false;
        } else if (word == "plain") {
            s.halfPoints = 24;
            s.bold = s.italic = s.underline = false;
            s.color = s.highlight = 0;
            s.font = 0;
        } else if (word == "qc") {
            s.alignment = RtfAlignment::Centre;
        } else if (word == "ql") {
            s.alignment = RtfAlignment::Left;
        } else if (word == "qr") {
            s.alignment = RtfAlignment::Right;
        } else if (word == "qj") {
            s.alignment = RtfAlignment::Justify;
        } else if (word == "sa") {
            s.spaceAfter = std::clamp(n, 0, 31680);
        } else if (word == "sl") {
            s.lineSpacing = std::clamp(n, -31680, 31680);
        } else if (word == "slmult") {
            s.lineMultiple = n != 0;
        } else if (word == "f") {
            s.font = n;
        } else if (word == "fs") {
            s.halfPoints = std::clamp(n, 2, 3276);
        } else if (word == "cf") {
            s.color = n;
        } else if (word == "highlight" || word == "cb") {
            s.highlight = n;
        } else if (word == "b") {
            s.bold = p != 0;
        } else if (word == "i") {
            s.italic = p != 0;
        } else if (word == "ul") {
            s.underline = p != 0;
        } else if (word == "ulnone") {
            s.underline = false;
        } else if (word == "field") {
            s.inField = true;
        }
        // Every other control word (\rtf, \ansi, \lang, \viewkind, ...) changes nothing shown.
    }

    void UnicodeCharacter(int value) {
        if (value < 0) {
            value += 65536;
        }
        Character(static_cast<wchar_t>(std::clamp(value, 0, 0xFFFF)));
        SkipFallback(State().unicodeSkip);
    }

    // Skips the `count` characters that stand for the last \u in readers without Unicode; a
    // \'xx or a control word counts as one, a brace ends the skipping.
    void SkipFallback(int count) {
        while (count > 0 && pos_ < src_.size()) {
            const char c = src_[pos_];
            if (c == '{' || c == '}') {
                return;
            }
            ++pos_;
            if (c == '\\' && pos_ < src_.size()) {
                if (src_[pos_] == '\'') {
                    pos_ = std::min(pos_ + 3, src_.size());
                } else if (std::isalpha(static_cast<unsigned char>(src_[pos_]))) {
                    while (pos_ < src_.size() &&
                           (std::isalnum(static_cast<unsigned char>(src_[pos_])) ||
                            src_[pos_] == '-')) {
                        ++pos_;
                    }
                    if (pos_ < src_.size() && src_[pos_] == ' ') {
                        ++pos_;
                    }
                } else {
                    ++pos_;
                }
            }
            --count;
        }
    }

    void Character(wchar_t c) {
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

    void FlushPendingSurrogate() {
        if (highSurrogate_ != 0) {
            highSurrogate_ = 0;
            Append(kReplacement);
        }
    }

    std::optional<RtfColor> Color(int index) const {
        if (index <= 0 || static_cast<std::size_t>(index) >= colors_.size()) {
            return std::nullopt;
        }
        return colors_[static_cast<std::size_t>(index)];
    }

    void Append(wchar_t c) {
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

    void TakeParagraphFormat() {
        const GroupState& s = State();
        paragraph_.alignment = s.alignment;
        paragraph_.spaceAfterTwips = s.spaceAfter;
        paragraph_.lineSpacing = s.lineSpacing;
        paragraph_.lineMultiple = s.lineMultiple;
    }

    void EndParagraph() {
        if (State().destination != Destination::Text &&
            State().destination != Destination::FieldResult) {
            return;
        }
        FlushPendingSurrogate();
        TakeParagraphFormat();
        doc_.paragraphs.push_back(std::move(paragraph_));
        paragraph_ = {};
    }

    // The address of a HYPERLINK field instruction ("HYPERLINK url" or "HYPERLINK \"url\"").
    static std::string HyperlinkTarget(const std::string& instruction) {
        constexpr std::string_view kKeyword = "HYPERLINK";
        std::size_t at = instruction.find_first_not_of(" \t");
        if (at == std::string::npos || instruction.compare(at, kKeyword.size(), kKeyword) != 0) {
            return {};
        }
        at = instruction.find_first_not_of(" \t", at + kKeyword.size());
        if (at == std::string::npos) {
            return {};
        }
        if (instruction[at] == '"') {
            const std::size_t end = instruction.find('"', at + 1);
            return end == std::string::npos ? std::string()
                                            : instruction.substr(at + 1, end - at - 1);
        }
        const std::size_t end = instruction.find_first_of(" \t", at);
        return instruction.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }

    std::string_view src_;
    std::size_t pos_ = 0;
    std::vector<GroupState> stack_{GroupState{}};
    std::size_t flattened_ = 0;
    bool documentGroup_ = false;
    bool ended_ = false;
    bool ignorableNext_ = false;
    int tableFont_ = 0;
    std::map<int, int> fontCharsets_;
    std::vector<std::optional<RtfColor>> colors_;
    RtfColor pendingColor_;
    bool colorSeen_ = false;
    std::string instruction_;
    std::string fieldLink_;
    wchar_t highSurrogate_ = 0;
    RtfParagraph paragraph_;
    RtfDocument doc_;
};

}  // namespace

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
