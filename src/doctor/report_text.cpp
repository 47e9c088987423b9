#include "doctor/report_text.h"

#include <cstdio>
#include <cstring>

#include "token/pkcs11_call.h"
#include "toolkit/bytes.h"

namespace qe {
namespace {

struct FlagWord {
    CK_FLAGS flag;
    const char* word;
};

constexpr FlagWord kTokenFlags[] = {
    {CKF_RNG, "random number generator"},
    {CKF_WRITE_PROTECTED, "write-protected"},
    {CKF_LOGIN_REQUIRED, "login required"},
    {CKF_USER_PIN_INITIALIZED, "user PIN initialised"},
    {CKF_RESTORE_KEY_NOT_NEEDED, "restore key not needed"},
    {CKF_CLOCK_ON_TOKEN, "clock on token"},
    {CKF_PROTECTED_AUTHENTICATION_PATH, "PIN pad"},
    {CKF_DUAL_CRYPTO_OPERATIONS, "dual crypto operations"},
    {CKF_TOKEN_INITIALIZED, "token initialised"},
    {CKF_SECONDARY_AUTHENTICATION, "secondary authentication"},
};

constexpr FlagWord kPinFlags[] = {
    {CKF_USER_PIN_COUNT_LOW, "user PIN count low"},
    {CKF_USER_PIN_FINAL_TRY, "user PIN final try"},
    {CKF_USER_PIN_LOCKED, "user PIN locked"},
    {CKF_USER_PIN_TO_BE_CHANGED, "user PIN to be changed"},
    {CKF_SO_PIN_COUNT_LOW, "SO PIN count low"},
    {CKF_SO_PIN_FINAL_TRY, "SO PIN final try"},
    {CKF_SO_PIN_LOCKED, "SO PIN locked"},
    {CKF_SO_PIN_TO_BE_CHANGED, "SO PIN to be changed"},
};

constexpr FlagWord kSlotFlags[] = {
    {CKF_TOKEN_PRESENT, "token present"},
    {CKF_REMOVABLE_DEVICE, "removable device"},
    {CKF_HW_SLOT, "hardware slot"},
};

template <std::size_t N>
std::string Words(CK_FLAGS flags, const FlagWord (&table)[N], CK_FLAGS ignored) {
    std::vector<std::string> words;
    CK_FLAGS rest = flags & ~ignored;
    for (const FlagWord& entry : table) {
        if ((rest & entry.flag) != 0) {
            words.emplace_back(entry.word);
            rest &= ~entry.flag;
        }
    }
    if (rest != 0) {
        words.push_back("other " + Hex32(rest));
    }
    return words.empty() ? "none" : Join(words);
}

CK_FLAGS AllOf(const FlagWord* begin, const FlagWord* end) {
    CK_FLAGS all = 0;
    for (const FlagWord* entry = begin; entry != end; ++entry) {
        all |= entry->flag;
    }
    return all;
}

// Length of the well-formed UTF-8 sequence at `p` (1 to 4), 0 when it is not one.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    const unsigned char lead = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || length > left || p[1] < low || p[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

void AppendEscaped(std::string& out, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
}

}  // namespace

std::string Printable(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = bytes[i];
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                AppendEscaped(out, byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        const std::size_t length = Utf8Length(bytes + i, text.size() - i);
        // U+0080..U+009F are the C1 controls: as dangerous to a terminal as the C0 ones.
        const bool c1 = length == 2 && byte == 0xC2 && bytes[i + 1] <= 0x9F;
        if (length == 0 || c1) {
            const std::size_t count = c1 ? 2 : 1;
            for (std::size_t k = 0; k < count; ++k) {
                AppendEscaped(out, bytes[i + k]);
            }
            i += count;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::string FieldText(const void* field, std::size_t width) {
    return Printable(TrimmedField(field, width));
}

std::string TokenFlagWords(CK_FLAGS flags) {
    return Words(flags, kTokenFlags, AllOf(std::begin(kPinFlags), std::end(kPinFlags)));
}

std::string PinFlagWords(CK_FLAGS flags) {
    return Words(flags & AllOf(std::begin(kPinFlags), std::end(kPinFlags)), kPinFlags, 0);
}

std::string SlotFlagWords(CK_FLAGS flags) {
    return Words(flags, kSlotFlags, 0);
}

std::string Hex32(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08lx", value);
    return text;
}

std::string HexNumber(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

std::string VersionText(const CK_VERSION& version) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", static_cast<unsigned>(version.major),
                  static_cast<unsigned>(version.minor));
    return text;
}

std::string ResultText(CK_RV rv) {
    const std::string number = HexNumber(rv);
    const std::string name = CkrName(rv);
    return !name.empty() ? name + " (" + number + ")" : number;
}

std::string MemoryText(CK_ULONG freeBytes, CK_ULONG totalBytes) {
    if (freeBytes == CK_UNAVAILABLE_INFORMATION || totalBytes == CK_UNAVAILABLE_INFORMATION) {
        return "not reported";
    }
    return std::to_string(freeBytes) + " of " + std::to_string(totalBytes) + " bytes free";
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

void ReportWriter::Section(const std::string& title) {
    text_ += (text_.empty() ? "" : "\n") + std::string("== ") + title + " ==\n";
}

void ReportWriter::Line(int indent, const std::string& text) {
    text_.append(static_cast<std::size_t>(indent) * 2, ' ');
    text_ += text;
    text_ += '\n';
}

std::string ReportWriter::TakeNew() {
    std::string part = text_.substr(taken_);
    taken_ = text_.size();
    return part;
}

void ReportWriter::Field(int indent, const std::string& key, const std::string& value) {
    Line(indent, key + ": " + (value.empty() ? "(empty)" : value));
}

}  // namespace qe
