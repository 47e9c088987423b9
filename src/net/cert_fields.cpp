#include "net/cert_fields.h"

#include <cwctype>
#include <sstream>

#include "toolkit/utf8.h"

namespace qe {
namespace {

std::wstring TrimWhiteSpace(const std::wstring& s) {
    std::size_t first = 0;
    std::size_t last = s.size();
    while (first < last && std::iswspace(static_cast<wint_t>(s[first]))) {
        ++first;
    }
    while (last > first && std::iswspace(static_cast<wint_t>(s[last - 1]))) {
        --last;
    }
    return s.substr(first, last - first);
}

std::wstring TrimLineEnds(const std::wstring& s) {
    const auto first = s.find_first_not_of(L"\r\n");
    if (first == std::wstring::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(L"\r\n") - first + 1);
}

}  // namespace

std::optional<CertFields> ReadCertFields(const std::wstring& text, FieldValueRule rule) {
    CertFields fields;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const auto eq = line.find(L'=');
        if (eq == std::wstring::npos) {
            continue;
        }
        std::wstring value = line.substr(eq + 1);
        if (rule == FieldValueRule::TrimLineEnds) {
            value = TrimLineEnds(value);
        }
        auto key = WideToUtf8(TrimWhiteSpace(line.substr(0, eq)));
        auto utf8Value = WideToUtf8(value);
        if (!key || !utf8Value) {
            return std::nullopt;
        }
        fields[*key] = std::move(*utf8Value);
    }
    return fields;
}

std::vector<std::wstring> ReadRenewableSerials(const std::wstring& headerValue) {
    std::wstring converted = headerValue;
    for (wchar_t& c : converted) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        if (c == L' ') {
            c = L'\n';
        }
    }
    std::vector<std::wstring> serials;
    std::wistringstream lines(converted);
    for (std::wstring line; std::getline(lines, line);) {
        serials.push_back(line);
    }
    return serials;
}

}  // namespace qe
