#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <string_view>

#include "net/keygen_parameters.h"

namespace {

// Inputs starting with this byte are also read tiled into one line of this size: the parser must
// stay linear with bounded stack on lines longer than mutations usually reach (a backtracking
// matcher needs megabytes of stack for such a line).
constexpr char kLargeMarker = 'L';
constexpr std::size_t kLargeSize = 128 << 10;
constexpr int kLargeLinesPerRun = 500;
// Lines short enough to check against the grammar's regular expression itself, which is slow.
constexpr std::size_t kCheckedLineLength = 64;

void Parse(std::string_view text) {
    if (const auto params = qe::KeygenParameters::Parse(text)) {
        const auto sizes = params->OfferedKeySizes();
        const auto restrictions = params->RestrictedTokens();
        qe::FindRestriction(restrictions, "Manufacturer", "Product");
        if (sizes.size() > static_cast<std::size_t>(qe::KeygenParameters::kMaxIndex) + 1) {
            __builtin_trap();  // more records than any index allows
        }
    }
}

// The line must read as the grammar's regular expression reads it.
void CheckAgainstGrammar(const std::string& line, const std::string& prefix) {
    static const std::regex genAlgorithms(R"((genAlgorithms)(\.[0-9]+)?\.(.*)=(.+))");
    static const std::regex restrictedTokens(R"((restrictedTokens)(\.[0-9]+)?\.(.*)=(.+))");
    std::smatch m;
    const bool found =
        std::regex_search(line, m, prefix == "genAlgorithms" ? genAlgorithms : restrictedTokens);
    const auto parsed = qe::ParseIndexedKey(line, prefix);
    std::int64_t number = 1;
    if (found && m[2].matched) {
        const std::string digits = m[2].str().substr(1);
        if (std::from_chars(digits.data(), digits.data() + digits.size(), number).ec !=
            std::errc()) {
            return;  // beyond 64 bits: refused, as the parser's own test covers
        }
    }
    if (!parsed) {
        if (number - 1 <= INT32_MAX) {
            __builtin_trap();
        }
        return;
    }
    const std::int32_t index = found ? static_cast<std::int32_t>(number - 1) : -1;
    if (parsed->index != index || parsed->key != (found ? m[3].str() : "") ||
        parsed->value != (found ? m[4].str() : "")) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Parse(text);

    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end - start <= kCheckedLineLength) {
            const std::string line(text.substr(start, end - start));
            CheckAgainstGrammar(line, "genAlgorithms");
            CheckAgainstGrammar(line, "restrictedTokens");
        }
        start = end + 1;
    }

    // A few hundred large lines per run are enough to notice a parser that is not linear; a
    // single input given again still takes this path.
    static int largeLines = 0;
    if (size > 1 && text.front() == kLargeMarker && largeLines++ < kLargeLinesPerRun) {
        std::string unit(text.substr(1));
        std::replace(unit.begin(), unit.end(), '\n', ' ');
        std::string large;
        large.reserve(kLargeSize + unit.size());
        while (large.size() < kLargeSize) {
            large += unit;
        }
        Parse(large);
    }
    return 0;
}
