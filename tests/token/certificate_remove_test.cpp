#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::SoftHsm;
using ::testing::ElementsAre;

class CertificateRemoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        test::SoftHsm::Session session("Alpha", "1234");
        const Bytes modulus = session.GenerateRsaKeyPair(1024, "id");
        const Bytes exponent = session.PublicExponent(modulus);
        const test::TestCa ca;
        old_ = ca.Issue(modulus, exponent, {{"CN", "Old"}}, {0x01});
        other_ = ca.Issue(modulus, exponent, {{"CN", "Other"}}, {0x02});
        std::vector<zel_token> tokens;
        CPKI().ListTokens({test::FaultModuleLibrary()}, tokens);
        ASSERT_EQ(tokens.size(), 1u);
        token_ = tokens.front();
    }

    std::vector<Bytes> Certificates() {
        test::SoftHsm::Session session("Alpha", "1234");
        std::vector<Bytes> values;
        for (const CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
            values.push_back(session.Attribute(object, CKA_VALUE));
        }
        return values;
    }

    void Store(const std::vector<Bytes>& certificates) {
        test::SoftHsm::Session session("Alpha", "1234");
        for (const Bytes& der : certificates) {
            session.CreateCertificate(der, ToBytes("id"), "label");
        }
    }

    SoftHsm hsm_;
    zel_token token_;
    Bytes old_;
    Bytes other_;
    Secret pin_{"1234"};
};

TEST_F(CertificateRemoveTest, RemovesEveryExactCopyAndNothingElse) {
    Store({old_, other_, old_});
    EXPECT_EQ(CPKI().RemoveCertificate(token_, pin_, old_), CKR_OK);
    EXPECT_THAT(Certificates(), ElementsAre(other_));
}

TEST_F(CertificateRemoveTest, NothingMatchingIsNoError) {
    Store({other_});
    EXPECT_EQ(CPKI().RemoveCertificate(token_, pin_, old_), CKR_OK);
    // A prefix of a stored certificate is not that certificate.
    const Bytes prefix(other_.begin(), other_.end() - 1);
    EXPECT_EQ(CPKI().RemoveCertificate(token_, pin_, prefix), CKR_OK);
    EXPECT_THAT(Certificates(), ElementsAre(other_));
}

TEST_F(CertificateRemoveTest, FailuresAreReturned) {
    Store({old_});
    EXPECT_EQ(CPKI().RemoveCertificate(token_, Secret("9999"), old_), CKR_PIN_INCORRECT);

    hsm_.WriteFaultConfig("fail C_DestroyObject 0x30\n");
    EXPECT_EQ(CPKI().RemoveCertificate(token_, pin_, old_), CKR_DEVICE_ERROR);

    hsm_.WriteFaultConfig("[token Alpha]\nabsent\n");
    EXPECT_EQ(CPKI().RemoveCertificate(token_, pin_, old_), CKR_TOKEN_NOT_PRESENT);
    EXPECT_THAT(Certificates(), ElementsAre(old_));
}

TEST_F(CertificateRemoveTest, CallOrder) {
    Store({old_});
    hsm_.ClearRecord();
    ASSERT_EQ(CPKI().RemoveCertificate(token_, pin_, old_), CKR_OK);
    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    EXPECT_THAT(
        test::CallNames(calls, {"C_Initialize", "C_OpenSession", "C_Login", "C_FindObjectsInit",
                                "C_GetAttributeValue", "C_DestroyObject", "C_FindObjectsFinal",
                                "C_Logout", "C_CloseSession", "C_Finalize"}),
        ElementsAre("C_Initialize", "C_OpenSession", "C_Login", "C_FindObjectsInit",
                    "C_GetAttributeValue", "C_GetAttributeValue", "C_DestroyObject",
                    "C_FindObjectsFinal", "C_Logout", "C_CloseSession", "C_Finalize"));
    for (const test::RecordedCall& call : calls) {
        if (call.name == "C_FindObjectsInit") {
            EXPECT_THAT(
                call.templates[0],
                ElementsAre(std::make_pair(CKA_CLASS, test::UlongBytes(CKO_CERTIFICATE)),
                            std::make_pair(CKA_CERTIFICATE_TYPE, test::UlongBytes(CKC_X_509))));
        } else if (call.name == "C_OpenSession") {
            EXPECT_EQ(call.fields.at("flags"), "0x6");
        }
    }
}

}  // namespace
}  // namespace qe
