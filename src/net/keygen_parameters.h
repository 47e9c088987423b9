#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qe {

struct GenAlgorithm {
    std::int32_t algorithm = 0;  // only RSA (0) exists
    std::int32_t keySize = 0;    // bits

    bool operator==(const GenAlgorithm&) const = default;
};

struct TokenRestriction {
    std::string manufacturer;  // UTF-8 as received
    std::string productName;

    bool operator==(const TokenRestriction&) const = default;
};

// One "prefix[.N].key=value" line: index N-1 (0 without N), -1 when the line does not match.
struct IndexedKeyLine {
    std::int32_t index = -1;
    std::string key;
    std::string value;
};

// Searches `line` for "(" prefix ")(\.[0-9]+)?\.(.*)=(.+)" (ECMAScript, unanchored; the key runs to
// the last "=" that leaves a value), in time linear in the line and constant stack. The prefix is
// literal text without ".", digits, CR or LF (the answer's two prefixes). Empty when the index
// does not fit in 32 bits, or for a prefix outside that form.
std::optional<IndexedKeyLine> ParseIndexedKey(const std::string& line, const std::string& prefix);

// The key-generation parameters answer: which RSA key sizes to try, in order, and which tokens
// the authority does not accept.
class KeygenParameters {
public:
    // Highest record index an answer may use; beyond it the answer is refused.
    static constexpr std::int32_t kMaxIndex = 1023;

    // Reads the answer text (the body bytes as received), in time linear in its length. Empty
    // when the answer cannot be used: an index or key size that is not a 32-bit decimal number,
    // or an index above kMaxIndex.
    static std::optional<KeygenParameters> Parse(std::string_view text);

    std::vector<GenAlgorithm> GenAlgorithms() const { return genAlgorithms_; }
    std::vector<TokenRestriction> RestrictedTokens() const { return restrictedTokens_; }
    // Key sizes of the records with algorithm code 0, in list order.
    std::vector<std::int32_t> OfferedKeySizes() const;

private:
    std::vector<GenAlgorithm> genAlgorithms_;
    std::vector<TokenRestriction> restrictedTokens_;
};

// A restriction applies when at least one of its texts is set and every set text occurs
// (case-sensitively) in the token's manufacturer or product name respectively.
bool RestrictionApplies(const TokenRestriction& restriction, std::string_view manufacturer,
                        std::string_view productName);

// The first restriction that applies, or none.
const TokenRestriction* FindRestriction(const std::vector<TokenRestriction>& restrictions,
                                        std::string_view manufacturer,
                                        std::string_view productName);

}  // namespace qe
