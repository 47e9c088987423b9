#include "net/keygen_parameters.h"

#include <charconv>
#include <limits>
#include <regex>

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

const std::regex& PatternFor(const std::string& prefix) {
    // The two prefixes of the answer are constants; compile each once.
    static const std::regex genAlgorithms(R"((genAlgorithms)(\.[0-9]+)?\.(.*)=(.+))");
    static const std::regex restrictedTokens(R"((restrictedTokens)(\.[0-9]+)?\.(.*)=(.+))");
    if (prefix == "genAlgorithms") {
        return genAlgorithms;
    }
    if (prefix == "restrictedTokens") {
        return restrictedTokens;
    }
    thread_local std::regex other;
    other = std::regex("(" + prefix + R"()(\.[0-9]+)?\.(.*)=(.+))");
    return other;
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

}  // namespace

std::optional<IndexedKeyLine> ParseIndexedKey(const std::string& line, const std::string& prefix) {
    IndexedKeyLine result;
    std::smatch match;
    if (!std::regex_search(line, match, PatternFor(prefix))) {
        return result;
    }
    result.index = 0;
    if (match[2].matched && match[2].length() > 1) {
        const std::string digits = match[2].str().substr(1);
        std::int64_t number = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (ec != std::errc() || number - 1 > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
        result.index = static_cast<std::int32_t>(number - 1);
    }
    result.key = match[3].str();
    result.value = match[4].str();
    return result;
}

std::optional<KeygenParameters> KeygenParameters::Parse(std::string_view text) {
    KeygenParameters params;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        const std::string_view trimmed = Trim(raw);
        if (trimmed.empty() || trimmed.front() == '#') {
            continue;
        }
        // The regular expression engine recurses per character; a bounded line keeps a hostile
        // answer from exhausting the stack.
        if (trimmed.size() > kMaxLineLength) {
            return std::nullopt;
        }
        const std::string line(trimmed);

        const auto gen = ParseIndexedKey(line, "genAlgorithms");
        if (!gen || gen->index > kMaxIndex) {
            return std::nullopt;
        }
        if (gen->index >= 0) {
            GenAlgorithm& record = RecordAt(params.genAlgorithms_, gen->index);
            if (gen->key == "algo") {
                record.algorithm = 0;
            } else if (gen->key == "keySize") {
                const auto size = ReadDecimal(gen->value);
                if (!size) {
                    return std::nullopt;
                }
                record.keySize = *size;
            }
        }

        const auto restricted = ParseIndexedKey(line, "restrictedTokens");
        if (!restricted || restricted->index > kMaxIndex) {
            return std::nullopt;
        }
        if (restricted->index >= 0) {
            TokenRestriction& record = RecordAt(params.restrictedTokens_, restricted->index);
            if (restricted->key == "manufacturer") {
                record.manufacturer = restricted->value;
            } else if (restricted->key == "productName") {
                record.productName = restricted->value;
            }
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
