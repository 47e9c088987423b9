#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::SoftHsm;

class ProductNameTest : public ::testing::Test {
protected:
    zel_token ListedToken() {
        std::vector<zel_token> tokens;
        pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
        EXPECT_EQ(tokens.size(), 1u);
        return tokens.empty() ? zel_token() : tokens.front();
    }

    SoftHsm hsm_;
    CPKI pki_;
};

TEST_F(ProductNameTest, VendorFeatureObjectGivesTheName) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteFaultConfig("product-name Quorvane Token 3000\n");
    const zel_token token = ListedToken();
    hsm_.ClearRecord();
    EXPECT_EQ(pki_.ReadProductName(token), "Quorvane Token 3000");

    // Read-only session, the vendor template, and the attribute read for its length first.
    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    bool sawSession = false;
    bool sawSearch = false;
    int attributeReads = 0;
    for (const test::RecordedCall& call : calls) {
        if (call.name == "C_OpenSession") {
            EXPECT_EQ(call.fields.at("flags"), "0x4");
            sawSession = true;
        } else if (call.name == "C_FindObjectsInit") {
            ASSERT_EQ(call.templates.size(), 1u);
            EXPECT_THAT(call.templates[0],
                        ::testing::ElementsAre(
                            std::make_pair(CKA_CLASS, test::UlongBytes(CKO_HW_FEATURE)),
                            std::make_pair(CKA_HW_FEATURE_TYPE, test::UlongBytes(0x80005002))));
            sawSearch = true;
        } else if (call.name == "C_FindObjects") {
            EXPECT_EQ(call.fields.at("max"), "1");
        } else if (call.name == "C_GetAttributeValue") {
            ++attributeReads;
        }
    }
    EXPECT_TRUE(sawSession);
    EXPECT_TRUE(sawSearch);
    EXPECT_EQ(attributeReads, 2);
    EXPECT_EQ(test::CallNames(calls).back(), "C_Finalize");
}

TEST_F(ProductNameTest, NoFeatureObjectIsNotAvailable) {
    hsm_.InitToken("Alpha", "1234");
    EXPECT_EQ(pki_.ReadProductName(ListedToken()), "N/A");
}

TEST_F(ProductNameTest, TheLastReadableObjectWins) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteFaultConfig("product-name First\nproduct-name Second\n");
    EXPECT_EQ(pki_.ReadProductName(ListedToken()), "Second");
}

TEST_F(ProductNameTest, FailuresLeaveTheTextAsItStood) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteFaultConfig("product-name First\nproduct-name Second\n");
    const zel_token token = ListedToken();

    // The second object's length cannot be read: the first one's name stays.
    hsm_.WriteFaultConfig(
        "product-name First\nproduct-name Second\nfail C_GetAttributeValue 0x30 skip 2\n");
    EXPECT_EQ(pki_.ReadProductName(token), "First");

    hsm_.WriteFaultConfig("product-name First\nfail C_FindObjectsInit 0x30\n");
    EXPECT_EQ(pki_.ReadProductName(token), "N/A");

    hsm_.WriteFaultConfig("product-name First\n[token Alpha]\nabsent\n");
    EXPECT_EQ(pki_.ReadProductName(token), "N/A");
}

}  // namespace
}  // namespace qe
