#include <algorithm>
#include <iterator>
#include <utility>

#include "ui/rtf_reader_state.h"

// What each control word changes in the group's state, and the destinations they open.

namespace qe::rtf_detail {

bool Reader::SkippedDestination(const std::string& word) {
    static const char* const kSkipped[] = {"stylesheet", "info",      "pict",
                                           "header",     "footer",    "object",
                                           "listtable",  "themedata", "datastore"};
    return std::find(std::begin(kSkipped), std::end(kSkipped), word) != std::end(kSkipped);
}

// Destination control words switch what the group's text is for; true when `word` was one.
bool Reader::StartDestination(const std::string& word) {
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

void Reader::ControlWord(const std::string& word, std::optional<long> parameter) {
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

// The address of a HYPERLINK field instruction ("HYPERLINK url" or "HYPERLINK \"url\"").
std::string Reader::HyperlinkTarget(const std::string& instruction) {
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
        return end == std::string::npos ? std::string() : instruction.substr(at + 1, end - at - 1);
    }
    const std::size_t end = instruction.find_first_of(" \t", at);
    return instruction.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace qe::rtf_detail
