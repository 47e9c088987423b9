#pragma once

// The rich-text reader's parts, shared by the files that hold its stages: the tokenizer
// (rtf_tokenizer.cpp), the control words (rtf_control_words.cpp) and the document it builds
// (rtf_reader.cpp). Not for use outside them.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/rtf_reader.h"

namespace qe::rtf_detail {

constexpr std::size_t kMaxTableEntries = 256;
constexpr wchar_t kReplacement = 0xFFFD;

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

    RtfDocument Read();

private:
    GroupState& State() { return stack_.back(); }

    // The tokenizer: bytes, groups, control sequences and the characters they stand for.
    int Charset();
    void OpenGroup();
    void CloseGroup();
    void ControlSequence();
    void ControlSymbol(char c);
    void HexByte();
    void UnicodeCharacter(int value);
    void SkipFallback(int count);

    // What each control word changes.
    static bool SkippedDestination(const std::string& word);
    bool StartDestination(const std::string& word);
    void ControlWord(const std::string& word, std::optional<long> parameter);
    static std::string HyperlinkTarget(const std::string& instruction);

    // The document built from the characters.
    void Character(wchar_t c);
    void FlushPendingSurrogate();
    std::optional<RtfColor> Color(int index) const;
    void Append(wchar_t c);
    void TakeParagraphFormat();
    void EndParagraph();

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

}  // namespace qe::rtf_detail
