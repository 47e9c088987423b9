#include "net/keygen_parameters.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(ParseIndexedKey, IndexKeyAndValue) {
    const struct {
        const char* line;
        std::optional<std::int32_t> index;  // none: refused
        const char *key, *value;
    } cases[] = {
        {"genAlgorithms.1.keySize=2048", 0, "keySize", "2048"},
        {"genAlgorithms.keySize=2048", 0, "keySize", "2048"},
        {"genAlgorithms.19.algo=RSA", 18, "algo", "RSA"},
        {"genAlgorithms.0.keySize=2048", -1, "keySize", "2048"},
        {"genAlgorithms.2147483648.a=b", 2147483647, "a", "b"},
        {"genAlgorithms.2147483649.a=b", std::nullopt, "", ""},
        {"x restrictedTokens.12.a=b=c", 11, "a=b", "c"},  // unanchored; the key takes every "="
        {"genAlgorithms.1.a==", 0, "a", "="},
        {"genAlgorithms.1.a=b\rgenAlgorithms.2.c=d", 0, "a", "b"},  // CR ends the match
        {"genAlgorithms.1.keySize=", -1, "", ""},                   // no value
        {"genAlgorithms.1.keySize", -1, "", ""},
        {"genAlgorithms", -1, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::string prefix = c.line[0] == 'x' ? "restrictedTokens" : "genAlgorithms";
        const auto line = ParseIndexedKey(c.line, prefix);
        ASSERT_EQ(line.has_value(), c.index.has_value());
        if (line) {
            EXPECT_EQ(line->index, *c.index);
            EXPECT_EQ(line->key, c.key);
            EXPECT_EQ(line->value, c.value);
        }
    }
    EXPECT_FALSE(ParseIndexedKey("a.1.b=c", "a."));  // a prefix that could overlap the index
}

TEST(KeygenParameters, ReadsWhatItCanUseAndRefusesTheRest) {
    const std::string tooLong = "genAlgorithms.1.keySize=" + std::string(5000, '1');
    std::vector<std::int32_t> atTheLimit(1024, 0);
    atTheLimit.back() = 1;
    const std::string name(1 << 20, 'x');  // kept whole
    const struct {
        std::string text;
        std::vector<std::int32_t> sizes;
        std::vector<TokenRestriction> restrictions;
    } cases[] = {
        {"# parameters\r\n\r\n  genAlgorithms.1.algo=RSA\r\ngenAlgorithms.1.keySize=4096\r\n"
         "genAlgorithms.2.algo=RSA\r\ngenAlgorithms.2.keySize=2048 "
         "\r\n#genAlgorithms.3.keySize=1\n",
         {4096, 2048},
         {}},
        {"genAlgorithms.3.keySize=4096", {0, 0, 4096}, {}},  // sparse indexes
        {"genAlgorithms.1.keySize=  2048bits\ngenAlgorithms.2.keySize=-1\n"
         "genAlgorithms.3.keySize=+7\ngenAlgorithms.4.keySize=\v9\ngenAlgorithms.5.other=1",
         {2048, -1, 7, 9, 0},
         {}},
        {"genAlgorithms.1.keySize=2147483647", {2147483647}, {}},
        {"genAlgorithms.1024.keySize=1", atTheLimit, {}},
        {"restrictedTokens.2.manufacturer=" + name + "\nrestrictedTokens.1.productName=Key 2\n",
         {},
         {{"", "Key 2"}, {name, ""}}},
        {"#" + std::string(100000, 'x'), {}, {}},  // a comment is skipped, not parsed
        {"", {}, {}},
        {std::string("\0\xff\xfe junk \n\n", 11), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        const auto params = KeygenParameters::Parse(c.text);
        ASSERT_TRUE(params.has_value());
        EXPECT_EQ(params->OfferedKeySizes(), c.sizes);
        EXPECT_EQ(params->RestrictedTokens(), c.restrictions);
    }
    const std::string refused[] = {"genAlgorithms.1025.keySize=1",
                                   "restrictedTokens.1025.manufacturer=A",
                                   tooLong,
                                   "genAlgorithms.4294967297.keySize=2048",
                                   "genAlgorithms.1.keySize=2147483648",
                                   "genAlgorithms.1.keySize=big"};
    for (const std::string& text : refused) {
        EXPECT_FALSE(KeygenParameters::Parse(text)) << text.substr(0, 60);
    }
}

TEST(Restrictions, ApplyBySubstringOfEachSetText) {
    const struct {
        TokenRestriction restriction;
        const char *manufacturer, *product;
        bool applies;
    } cases[] = {
        {{"Acme", ""}, "AcmeCorp", "anything", true},
        {{"Acme", ""}, "acme", "anything", false},  // case-sensitive
        {{"Acme", "Key 2"}, "Acme", "Big Key 2000", true},
        {{"Acme", "Key 2"}, "Acme", "Key 3", false},
        {{"Acme", "Key 2"}, "Other", "Key 2", false},
        {{"", "Key"}, "Other", "Key", true},
        {{"", ""}, "Acme", "Key", false},
    };
    std::vector<TokenRestriction> list;
    for (const auto& c : cases) {
        EXPECT_EQ(RestrictionApplies(c.restriction, c.manufacturer, c.product), c.applies)
            << c.restriction.manufacturer << "/" << c.restriction.productName;
        list.push_back(c.restriction);
    }
    EXPECT_EQ(FindRestriction(list, "Other", "Key"), &list[5]);
    EXPECT_EQ(FindRestriction(list, "Other", "Card"), nullptr);
}

}  // namespace
}  // namespace qe
