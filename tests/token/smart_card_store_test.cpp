#include "token/token_certificate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "log/last_error.h"
#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "token/pki.h"
#include "toolkit/error_id.h"

namespace qe {
namespace {

using test::SoftHsm;

class SmartCardStoreTest : public ::testing::Test {
protected:
    SoftHsm hsm_;
};

TEST_F(SmartCardStoreTest, TheTokensCertificatesInFindOrderWithTheirIds) {
    hsm_.InitToken("Alpha", "1234");
    std::vector<Bytes> stored;
    {
        test::SoftHsm::Session session("Alpha", "1234");
        const Bytes modulus = session.GenerateRsaKeyPair(1024, "k");
        const Bytes exponent = session.PublicExponent(modulus);
        const test::TestCa ca;
        stored = {ca.Issue(modulus, exponent, {{"CN", "First"}}, {0x01}),
                  ca.Issue(modulus, exponent, {{"CN", "Second"}}, {0x02})};
        session.CreateCertificate(stored[0], ToBytes("id-1"), "first");
        session.CreateCertificate(stored[1], {}, "second");
    }
    hsm_.WriteModuleList({"libmissing-pkcs11.so", test::FaultModuleLibrary()});

    std::vector<TokenCertificate> store;
    ASSERT_EQ(GetSmartCardStore(store), ERR_SUCCESS);
    ASSERT_EQ(store.size(), 2u);

    // The store keeps the order in which C_FindObjects handed out the objects.
    std::vector<std::string> foundOrder;
    std::map<std::string, Bytes> valueOf;
    for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
        if (call.name == "C_FindObjects" && call.fields.at("found") == "1") {
            foundOrder.push_back(call.fields.at("objects"));
        } else if (call.name == "C_GetAttributeValue" && !call.templates[0].empty() &&
                   call.templates[0][0].first == CKA_VALUE &&
                   !call.templates[0][0].second.empty()) {
            valueOf[call.fields.at("object")] = call.templates[0][0].second;
        }
    }
    ASSERT_EQ(foundOrder.size(), 2u);
    EXPECT_EQ(store[0].der, valueOf[foundOrder[0]]);
    EXPECT_EQ(store[1].der, valueOf[foundOrder[1]]);
    for (const TokenCertificate& certificate : store) {
        EXPECT_EQ(certificate.id, certificate.der == stored[0] ? ToBytes("id-1") : Bytes());
        EXPECT_EQ(certificate.token.modulePath, test::FaultModuleLibrary());
        EXPECT_EQ(LabelText(certificate.token), "Alpha");
    }

    // Read-only session, no login.
    for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
        EXPECT_NE(call.name, "C_Login");
    }
}

TEST_F(SmartCardStoreTest, TokenWithoutCertificatesGivesAnEmptyStore) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({test::SoftHsmLibrary()});
    std::vector<TokenCertificate> store(1);
    ASSERT_EQ(GetSmartCardStore(store), ERR_SUCCESS);
    EXPECT_TRUE(store.empty());
}

TEST_F(SmartCardStoreTest, NoTokenIsEightWithTheNoSmartCardError) {
    hsm_.WriteModuleList({test::SoftHsmLibrary()});
    std::vector<TokenCertificate> store;
    EXPECT_EQ(GetSmartCardStore(store), ERR_TOKEN_DEVICE);
    EXPECT_EQ(GetLastSystemError().code, kNoSmartCardError);
}

TEST_F(SmartCardStoreTest, TokenPulledOrFailingIsEightAndTheStoreIsKept) {
    hsm_.InitToken("Alpha", "1234");
    std::vector<zel_token> tokens;
    CPKI().ListTokens({test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    std::vector<TokenCertificate> store(1);

    hsm_.WriteFaultConfig("[token Alpha]\nabsent\n");
    EXPECT_EQ(GetSmartCardStore(tokens[0], store), ERR_TOKEN_DEVICE);
    EXPECT_EQ(GetLastSystemError().code, kNoSmartCardError);

    hsm_.WriteFaultConfig("fail C_FindObjects 0x30\n");
    EXPECT_EQ(GetSmartCardStore(tokens[0], store), ERR_TOKEN_DEVICE);
    EXPECT_EQ(GetLastSystemError().code, CKR_DEVICE_ERROR);
    EXPECT_EQ(store.size(), 1u);
}

}  // namespace
}  // namespace qe
