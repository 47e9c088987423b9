#include "net/keygen_parameters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qe {
namespace {

using ::testing::ElementsAre;

TEST(ParseIndexedKey, IndexKeyAndValue) {
    auto line = ParseIndexedKey("genAlgorithms.1.keySize=2048", "genAlgorithms");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->index, 0);
    EXPECT_EQ(line->key, "keySize");
    EXPECT_EQ(line->value, "2048");

    line = ParseIndexedKey("genAlgorithms.keySize=2048", "genAlgorithms");
    EXPECT_EQ(line->index, 0);
    EXPECT_EQ(line->key, "keySize");

    EXPECT_EQ(ParseIndexedKey("genAlgorithms.0.keySize=2048", "genAlgorithms")->index, -1);
    EXPECT_EQ(ParseIndexedKey("something else", "genAlgorithms")->index, -1);
    EXPECT_EQ(ParseIndexedKey("genAlgorithms.1.keySize=", "genAlgorithms")->index, -1);

    // Unanchored, and the key runs to the last "=" that leaves a value.
    line = ParseIndexedKey("x restrictedTokens.12.a=b=c", "restrictedTokens");
    EXPECT_EQ(line->index, 11);
    EXPECT_EQ(line->key, "a=b");
    EXPECT_EQ(line->value, "c");

    EXPECT_FALSE(ParseIndexedKey("genAlgorithms.99999999999.algo=RSA", "genAlgorithms"));
}

TEST(KeygenParameters, CommentsBlanksAndCrLf) {
    const auto params = KeygenParameters::Parse(
        "# parameters\r\n\r\n  genAlgorithms.1.algo=RSA\r\n"
        "genAlgorithms.1.keySize=4096\r\ngenAlgorithms.2.algo=RSA\r\n"
        "genAlgorithms.2.keySize=2048 \r\n#genAlgorithms.3.keySize=1024\n");
    ASSERT_TRUE(params);
    EXPECT_THAT(params->GenAlgorithms(), ElementsAre(GenAlgorithm{0, 4096}, GenAlgorithm{0, 2048}));
    EXPECT_THAT(params->OfferedKeySizes(), ElementsAre(4096, 2048));
    EXPECT_TRUE(params->RestrictedTokens().empty());
}

TEST(KeygenParameters, SparseIndexesCreateEmptyRecords) {
    auto params = KeygenParameters::Parse("genAlgorithms.3.keySize=4096");
    ASSERT_TRUE(params);
    EXPECT_THAT(params->OfferedKeySizes(), ElementsAre(0, 0, 4096));

    params = KeygenParameters::Parse("restrictedTokens.2.productName=X\n");
    ASSERT_TRUE(params);
    EXPECT_TRUE(params->GenAlgorithms().empty());
    const auto restrictions = params->RestrictedTokens();
    ASSERT_EQ(restrictions.size(), 2u);
    EXPECT_EQ(restrictions[0].manufacturer, "");
    EXPECT_EQ(restrictions[0].productName, "");
    EXPECT_EQ(restrictions[1].productName, "X");
}

TEST(KeygenParameters, KeySizeReadsLikeTheCLibrary) {
    const auto params = KeygenParameters::Parse(
        "genAlgorithms.1.keySize=  2048bits\ngenAlgorithms.2.keySize=-1\n"
        "genAlgorithms.3.other=1\n");
    ASSERT_TRUE(params);
    EXPECT_THAT(params->OfferedKeySizes(), ElementsAre(2048, -1, 0));
}

TEST(KeygenParameters, RefusesAnswersItCannotUse) {
    EXPECT_FALSE(KeygenParameters::Parse("genAlgorithms.1.keySize=big"));
    EXPECT_FALSE(KeygenParameters::Parse("genAlgorithms.1.keySize=99999999999"));
    EXPECT_FALSE(KeygenParameters::Parse("genAlgorithms.4294967297.keySize=2048"));
    EXPECT_FALSE(KeygenParameters::Parse("restrictedTokens.100000.manufacturer=A"));
    EXPECT_FALSE(KeygenParameters::Parse("genAlgorithms.1.keySize=" + std::string(5000, '1')));
    // A long line that is a comment is skipped, not parsed.
    EXPECT_TRUE(KeygenParameters::Parse("#" + std::string(100000, 'x')));
}

TEST(KeygenParameters, LongLinesAreReadInFull) {
    const std::string name(1 << 20, 'x');
    const auto params = KeygenParameters::Parse("restrictedTokens.1.manufacturer=" + name);
    ASSERT_TRUE(params);
    EXPECT_THAT(params->RestrictedTokens(), ElementsAre(TokenRestriction{name, ""}));
}

TEST(KeygenParameters, EmptyAndJunkAnswers) {
    auto params = KeygenParameters::Parse("");
    ASSERT_TRUE(params);
    EXPECT_TRUE(params->OfferedKeySizes().empty());
    params = KeygenParameters::Parse(std::string("\0\xff\xfe junk \n\n", 11));
    ASSERT_TRUE(params);
    EXPECT_TRUE(params->GenAlgorithms().empty());
}

TEST(Restrictions, ApplyBySubstringOfEachSetText) {
    const TokenRestriction manufacturerOnly{"Acme", ""};
    EXPECT_TRUE(RestrictionApplies(manufacturerOnly, "AcmeCorp", "anything"));
    EXPECT_FALSE(RestrictionApplies(manufacturerOnly, "acme", "anything"));  // case-sensitive

    const TokenRestriction both{"Acme", "Key 2"};
    EXPECT_TRUE(RestrictionApplies(both, "Acme", "Big Key 2000"));
    EXPECT_FALSE(RestrictionApplies(both, "Acme", "Key 3"));

    const TokenRestriction none{"", ""};
    EXPECT_FALSE(RestrictionApplies(none, "Acme", "Key"));

    const std::vector<TokenRestriction> list{none, {"", "Key"}, manufacturerOnly};
    EXPECT_EQ(FindRestriction(list, "Acme", "Key"), &list[1]);
    EXPECT_EQ(FindRestriction(list, "Other", "Card"), nullptr);
}

}  // namespace
}  // namespace qe
