#include "net/keygen_parameters.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace qe {
namespace {

constexpr std::string_view kTrimmed = " \t\r\n";

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(kTrimmed);
    return s.substr(first, last - first + 1);
}

constexpr bool IsLineTerminator(char c) {
    return c == '\n' || c == '\r';
}

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A prefix the matcher below takes: literal text that cannot overlap the index part of a line.
bool IsLiteralPrefix(std::string_view prefix) {
    return !prefix.empty() && std::none_of(prefix.begin(), prefix.end(), [](char c) {
        return c == '.' || IsDigit(c) || IsLineTerminator(c);
    });
}

struct IndexedKeyMatch {
    std::string_view digits;  // the index as written, empty when the line has none
    std::string_view key;
    std::string_view value;
};

// The first match of the search for "(" prefix ")(\.[0-9]+)?\.(.*)=(.+)" (ECMAScript, where "."
// is any character but CR and LF), found without backtracking: one pass over the line and
// constant stack, however long or hostile the line. At each occurrence of the prefix the index
// takes all its digits, since fewer could never be followed by "."; it is left out only when no
// "." follows them. The key then runs to the last "=" of the CR/LF-free run that still leaves a
// value character, and the value to the end of that run.
std::optional<IndexedKeyMatch> FindIndexedKey(std::string_view line, std::string_view prefix) {
    constexpr std::size_t npos = std::string_view::npos;
    // The CR/LF-free stretch [from, end) scanned last, with its last two "=" signs. Key starts
    // only grow from one occurrence to the next, so every character is scanned once.
    struct Run {
        std::size_t from = 0;
        std::size_t end = 0;
        std::size_t last = npos;
        std::size_t previous = npos;
    } run;
    const auto keyEnd = [&](std::size_t start) {
        if (start < run.from || start >= run.end) {
            run = Run{start, start, npos, npos};
            for (; run.end < line.size() && !IsLineTerminator(line[run.end]); ++run.end) {
                if (line[run.end] == '=') {
                    run.previous = run.last;
                    run.last = run.end;
                }
            }
        }
        const std::size_t equals =
            run.last != npos && run.last + 1 == run.end ? run.previous : run.last;
        return equals != npos && equals >= start ? equals : npos;
    };

    for (std::size_t at = line.find(prefix); at != npos; at = line.find(prefix, at + 1)) {
        std::size_t dot = at + prefix.size();
        if (dot >= line.size() || line[dot] != '.') {
            continue;
        }
        std::size_t digitsEnd = dot + 1;
        while (digitsEnd < line.size() && IsDigit(line[digitsEnd])) {
            ++digitsEnd;
        }
        std::string_view digits;
        if (digitsEnd > dot + 1 && digitsEnd < line.size() && line[digitsEnd] == '.') {
            digits = line.substr(dot + 1, digitsEnd - dot - 1);
            dot = digitsEnd;
        }
        if (const std::size_t equals = keyEnd(dot + 1); equals != npos) {
            return IndexedKeyMatch{digits, line.substr(dot + 1, equals - dot - 1),
                                   line.substr(equals + 1, run.end - equals - 1)};
        }
    }
    return std::nullopt;
}

// The record index of a match: the written number minus one (so "0" gives -1), 0 without one;
// empty when it does not fit in 32 bits.
std::optional<std::int32_t> RecordIndex(std::string_view digits) {
    if (digits.empty()) {
        return 0;
    }
    std::int64_t number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || number - 1 > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number - 1);
}

// Reads a signed decimal number the way the C library does (leading white space, optional sign,
// digits up to the first non-digit), but refuses text without digits or outside 32 bits.
std::optional<std::int32_t> ReadDecimal(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
        ++pos;
    }
    if (pos < text.size() && text[pos] == '+') {
        ++pos;
    }
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data() + pos, text.data() + text.size(), value);
    if (ec != std::errc()) {
        return std::nullopt;
    }
    return value;
}

// Makes record `index` exist, as the answer may name records in any order.
template <typename Record>
Record& RecordAt(std::vector<Record>& records, std::int32_t index) {
    if (records.size() <= static_cast<std::size_t>(index)) {
        records.resize(static_cast<std::size_t>(index) + 1);
    }
    return records[static_cast<std::size_t>(index)];
}

// Feeds one line to the rule of `prefix`: a matching line with a usable index makes its record
// exist and hands it to `apply`. False when the answer cannot be used (an index that is not a
// 32-bit number or is above the limit, or what `apply` refuses).
template <typename Record, typename Apply>
bool ApplyIndexedLine(std::string_view line, std::string_view prefix, std::vector<Record>& records,
                      const Apply& apply) {
    const auto match = FindIndexedKey(line, prefix);
    if (!match) {
        return true;
    }
    const auto index = RecordIndex(match->digits);
    if (!index || *index > KeygenParameters::kMaxIndex) {
        return false;
    }
    return *index < 0 || apply(RecordAt(records, *index), match->key, match->value);
}

}  // namespace

std::optional<IndexedKeyLine> ParseIndexedKey(const std::string& line, const std::string& prefix) {
    if (!IsLiteralPrefix(prefix)) {
        return std::nullopt;
    }
    IndexedKeyLine result;
    const auto match = FindIndexedKey(line, prefix);
    if (!match) {
        return result;
    }
    const auto index = RecordIndex(match->digits);
    if (!index) {
        return std::nullopt;
    }
    result.index = *index;
    result.key = match->key;
    result.value = match->value;
    return result;
}

std::optional<KeygenParameters> KeygenParameters::Parse(std::string_view text) {
    KeygenParameters params;
    const auto setGen = [](GenAlgorithm& record, std::string_view key, std::string_view value) {
        if (key == "algo") {
            record.algorithm = 0;
        } else if (key == "keySize") {
            const auto size = ReadDecimal(value);
            if (!size) {
                return false;
            }
            record.keySize = *size;
        }
        return true;
    };
    const auto setRestriction = [](TokenRestriction& record, std::string_view key,
                                   std::string_view value) {
        if (key == "manufacturer") {
            record.manufacturer = value;
        } else if (key == "productName") {
            record.productName = value;
        }
        return true;
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (!ApplyIndexedLine(line, "genAlgorithms", params.genAlgorithms_, setGen) ||
            !ApplyIndexedLine(line, "restrictedTokens", params.restrictedTokens_, setRestriction)) {
            return std::nullopt;
        }
    }
    return params;
}

std::vector<std::int32_t> KeygenParameters::OfferedKeySizes() const {
    std::vector<std::int32_t> sizes;
    for (const GenAlgorithm& record : genAlgorithms_) {
        if (record.algorithm == 0) {
            sizes.push_back(record.keySize);
        }
    }
    return sizes;
}

bool RestrictionApplies(const TokenRestriction& restriction, std::string_view manufacturer,
                        std::string_view productName) {
    if (restriction.manufacturer.empty() && restriction.productName.empty()) {
        return false;
    }
    if (!restriction.manufacturer.empty() &&
        manufacturer.find(restriction.manufacturer) == std::string_view::npos) {
        return false;
    }
    if (!restriction.productName.empty() &&
        productName.find(restriction.productName) == std::string_view::npos) {
        return false;
    }
    return true;
}

const TokenRestriction* FindRestriction(const std::vector<TokenRestriction>& restrictions,
                                        std::string_view manufacturer,
                                        std::string_view productName) {
    for (const TokenRestriction& restriction : restrictions) {
        if (RestrictionApplies(restriction, manufacturer, productName)) {
            return &restriction;
        }
    }
    return nullptr;
}

}  // namespace qe
