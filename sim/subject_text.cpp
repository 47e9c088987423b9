#include "sim/subject_text.h"

#include <array>
#include <map>
#include <vector>

#include <openssl/objects.h>

#include "toolkit/utf8.h"

namespace qe::sim {
namespace {

struct FieldAttribute {
    const char* keys[2];
    const char* oid;
    bool printable;
};

// In the order the attributes stand in the name.
constexpr std::array<FieldAttribute, 14> kFieldAttributes{{
    {{"C", nullptr}, "2.5.4.6", true},
    {{"L", nullptr}, "2.5.4.7", false},
    {{"O", nullptr}, "2.5.4.10", false},
    {{"OU", nullptr}, "2.5.4.11", false},
    {{"T", nullptr}, "2.5.4.12", false},
    {{"CN", nullptr}, "2.5.4.3", false},
    {{"PHONE", nullptr}, "2.5.4.20", true},
    {{"SN", nullptr}, "2.5.4.5", true},
    {{"STREET", nullptr}, "2.5.4.9", false},
    {{"ST", nullptr}, "2.5.4.8", false},
    {{"GIVENNAME", "G"}, "2.5.4.42", false},
    {{"SURNAME", nullptr}, "2.5.4.4", false},
    {{"E2", nullptr}, "2.5.4.65", false},
    {{"ORGID", nullptr}, "2.5.4.97", false},
}};

bool IsPrintable(std::string_view value) {
    for (const char c : value) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') ||
                        std::string_view(" '()+,-./:=?").find(c) != std::string_view::npos;
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool AddTyped(X509_NAME* name, const char* oid, bool printable, std::string_view value,
              std::string& error) {
    if (value.empty()) {
        error = std::string("empty value for ") + oid;
        return false;
    }
    if (printable ? !IsPrintable(value) : !IsValidUtf8(value)) {
        error = std::string("value not allowed for ") + oid + ": " + std::string(value);
        return false;
    }
    Asn1ObjectPtr object(OBJ_txt2obj(oid, 1));
    if (!object || X509_NAME_add_entry_by_OBJ(
                       name, object.get(), printable ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING,
                       reinterpret_cast<const unsigned char*>(value.data()),
                       static_cast<int>(value.size()), -1, 0) != 1) {
        error = std::string("cannot add ") + oid;
        return false;
    }
    return true;
}

// Splits at unescaped commas, undoing the "\," and "\\" escapes.
std::vector<std::string> SplitAttributes(std::string_view text, std::string& error) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            if (i + 1 == text.size()) {
                error = "a backslash ends the subject";
                return {};
            }
            parts.back().push_back(text[++i]);
        } else if (c == ',') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

}  // namespace

X509NamePtr ParseSubjectText(std::string_view text, std::string& error) {
    const std::vector<std::string> parts = SplitAttributes(text, error);
    X509NamePtr name(X509_NAME_new());
    if (parts.empty() || !name) {
        return nullptr;
    }
    for (const std::string& part : parts) {
        const std::size_t equals = part.find('=');
        if (equals == std::string::npos) {
            error = "no '=' in \"" + part + "\"";
            return nullptr;
        }
        const std::string key(Trim(std::string_view(part).substr(0, equals), " "));
        const std::string value = part.substr(equals + 1);
        const int nid = OBJ_txt2nid(key.c_str());
        if (nid == NID_undef) {
            error = "unknown attribute \"" + key + "\"";
            return nullptr;
        }
        if (value.empty() || !IsValidUtf8(value)) {
            error = "empty or malformed value for " + key;
            return nullptr;
        }
        // OpenSSL chooses the string type the attribute calls for (PrintableString for C).
        if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1) {
            error = "value not allowed for " + key + ": " + value;
            return nullptr;
        }
    }
    return name;
}

X509NamePtr NameFromFields(std::string_view fieldsText, std::string& error) {
    std::map<std::size_t, std::string> values;
    std::size_t start = 0;
    while (start <= fieldsText.size()) {
        const std::size_t end = std::min(fieldsText.find('\n', start), fieldsText.size());
        const std::string_view line = fieldsText.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = Trim(line.substr(0, equals), " \t");
        for (std::size_t slot = 0; slot < kFieldAttributes.size(); ++slot) {
            for (const char* candidate : kFieldAttributes[slot].keys) {
                if (candidate != nullptr && key == candidate) {
                    values[slot] = std::string(Trim(line.substr(equals + 1), "\r\n"));
                }
            }
        }
    }

    X509NamePtr name(X509_NAME_new());
    if (!name) {
        return nullptr;
    }
    for (const auto& [slot, value] : values) {
        const FieldAttribute& attribute = kFieldAttributes[slot];
        const std::string_view oid = attribute.oid;
        if (oid == "2.5.4.7" && value.empty()) {
            continue;
        }
        if (oid == "2.5.4.11") {
            std::string_view rest = value;
            while (!rest.empty()) {
                const std::size_t cut = rest.find("//");
                const std::string_view piece = rest.substr(0, cut);
                if (piece.empty()) {
                    break;
                }
                if (!AddTyped(name.get(), attribute.oid, false, piece, error)) {
                    return nullptr;
                }
                rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 2);
            }
            continue;
        }
        if (!AddTyped(name.get(), attribute.oid, attribute.printable, value, error)) {
            return nullptr;
        }
    }
    if (X509_NAME_entry_count(name.get()) == 0) {
        error = "the field list names no attribute";
        return nullptr;
    }
    return name;
}

}  // namespace qe::sim
