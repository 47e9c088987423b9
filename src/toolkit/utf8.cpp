#include "toolkit/utf8.h"

#include <cstdint>
#include <cwctype>

namespace qe {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Decodes one code point at text[pos]; returns false on any malformed sequence.
bool DecodeOne(std::string_view text, std::size_t& pos, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    std::size_t extra;
    char32_t minimum;
    if (lead < 0x80) {
        out = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        minimum = 0x80;
        out = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        minimum = 0x800;
        out = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        minimum = 0x10000;
        out = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - pos <= extra) {
        return false;
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        const std::uint8_t next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        out = (out << 6) | (next & 0x3F);
    }
    if (out < minimum || out > kMaxCodePoint || IsSurrogate(out)) {
        return false;
    }
    pos += extra + 1;
    return true;
}

void Encode(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool Encodable(wchar_t w) {
    const auto c = static_cast<char32_t>(w);
    return c <= kMaxCodePoint && !IsSurrogate(c);
}

}  // namespace

std::optional<std::wstring> Utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!DecodeOne(utf8, pos, c)) {
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

std::optional<std::string> WideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        if (!Encodable(w)) {
            return std::nullopt;
        }
        Encode(static_cast<char32_t>(w), out);
    }
    return out;
}

std::string WideToUtf8ForLog(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        Encode(Encodable(w) ? static_cast<char32_t>(w) : kReplacement, out);
    }
    return out;
}

bool IsValidUtf8(std::string_view utf8) {
    std::size_t pos = 0;
    char32_t c;
    while (pos < utf8.size()) {
        if (!DecodeOne(utf8, pos, c)) {
            return false;
        }
    }
    return true;
}

}  // namespace qe

namespace qe {

std::wstring TextForScreen(std::wstring_view text) {
    const bool cut = text.size() > kScreenTextMax;
    std::wstring shown;
    std::size_t run = 0;
    for (const wchar_t c : text.substr(0, kScreenTextMax)) {
        run = std::iswspace(static_cast<wint_t>(c)) ? 0 : run + 1;
        if (run > kUnbrokenMax) {
            shown += L'\u200B';
            run = 1;
        }
        shown += c;
    }
    return cut ? shown + L"..." : shown;
}

}  // namespace qe
