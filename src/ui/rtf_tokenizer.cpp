#include <iconv.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "ui/rtf_reader_state.h"

// The reader's first stage: bytes to groups, control sequences and characters.

namespace qe::rtf_detail {
namespace {

constexpr std::size_t kMaxDepth = 128;      // deeper groups are read as if flat
constexpr std::size_t kMaxWordLength = 32;  // longer control words are unknown ones

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

}  // namespace

RtfDocument Reader::Read() {
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

int Reader::Charset() {
    const auto it = fontCharsets_.find(State().font);
    return it == fontCharsets_.end() ? 0 : it->second;
}

void Reader::OpenGroup() {
    if (stack_.size() >= kMaxDepth) {
        ++flattened_;
        return;
    }
    stack_.push_back(State());
}

void Reader::CloseGroup() {
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

void Reader::ControlSequence() {
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

void Reader::ControlSymbol(char c) {
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

void Reader::HexByte() {
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

void Reader::UnicodeCharacter(int value) {
    if (value < 0) {
        value += 65536;
    }
    Character(static_cast<wchar_t>(std::clamp(value, 0, 0xFFFF)));
    SkipFallback(State().unicodeSkip);
}

// Skips the `count` characters that stand for the last \u in readers without Unicode; a
// \'xx or a control word counts as one, a brace ends the skipping.
void Reader::SkipFallback(int count) {
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
                while (
                    pos_ < src_.size() &&
                    (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '-')) {
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

}  // namespace qe::rtf_detail
