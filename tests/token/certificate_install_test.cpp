#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <openssl/sha.h>

#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "token/certificate_parts.h"
#include "token/pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::SoftHsm;
using test::TestCa;
using ::testing::ElementsAre;

Bytes Sha1(const Bytes& data) {
    Bytes digest(SHA_DIGEST_LENGTH);
    SHA1(data.data(), data.size(), digest.data());
    return digest;
}

std::string Padded(const std::string& label) {
    return label + std::string(32 - label.size(), ' ');
}

class CertificateInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        test::SoftHsm::Session session("Alpha", "1234");
        modulus_ = session.GenerateRsaKeyPair(1024, "OBJECT ID", "Tarnwick Public Key",
                                              "Tarnwick Private Key");
        exponent_ = session.PublicExponent(modulus_);
    }

    Bytes Issue(const test::SubjectEntries& subject, const Bytes& serial = {0x12, 0x34}) {
        return Ca().Issue(modulus_, exponent_, subject, serial);
    }

    // Label and CKA_ID of the one object of a class with the key's modulus (or the one
    // certificate).
    std::pair<std::string, Bytes> Names(CK_OBJECT_CLASS objectClass) {
        test::SoftHsm::Session session("Alpha", "1234");
        const auto objects =
            session.Find(objectClass, objectClass == CKO_CERTIFICATE ? Bytes() : modulus_);
        EXPECT_EQ(objects.size(), 1u);
        if (objects.empty()) {
            return {};
        }
        return {ToString(session.Attribute(objects[0], CKA_LABEL)),
                session.Attribute(objects[0], CKA_ID)};
    }

    std::size_t CertificateCount() {
        test::SoftHsm::Session session("Alpha", "1234");
        return session.Find(CKO_CERTIFICATE).size();
    }

    // One CA for the whole run: its key takes a moment to generate.
    static const TestCa& Ca() {
        static const TestCa ca;
        return ca;
    }

    SoftHsm hsm_;
    CPKI pki_;
    Bytes modulus_;
    Bytes exponent_;
    Secret pin_{"1234"};
};

TEST_F(CertificateInstallTest, InstallRelabelsBothKeysToTheCertificate) {
    const Bytes der = Issue({{"C", "RO"}, {"CN", "Ion Popescu"}, {"CN", "Ion Popescu Semnătură"}});
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, der), CKR_OK);

    const Bytes keyId = Sha1(modulus_);
    const auto certificate = Names(CKO_CERTIFICATE);
    EXPECT_EQ(certificate.first, "Ion Popescu Semnătură");  // the last commonName, UTF-8
    EXPECT_EQ(certificate.second, keyId);
    EXPECT_EQ(Names(CKO_PRIVATE_KEY), certificate);
    EXPECT_EQ(Names(CKO_PUBLIC_KEY), certificate);

    test::SoftHsm::Session session("Alpha", "1234");
    const auto objects = session.Find(CKO_CERTIFICATE);
    EXPECT_EQ(session.Attribute(objects[0], CKA_VALUE), der);
    EXPECT_EQ(session.Attribute(objects[0], CKA_SERIAL_NUMBER), (Bytes{0x02, 0x02, 0x12, 0x34}));
    EXPECT_EQ(session.Attribute(objects[0], CKA_PRIVATE), test::BoolBytes(false));
}

TEST_F(CertificateInstallTest, CertificateWithoutCommonNameIsLabelledQuorvane) {
    const Bytes der = Issue({{"C", "RO"}, {"O", "Nobody"}});
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, der), CKR_OK);
    EXPECT_EQ(Names(CKO_CERTIFICATE).first, "Quorvane");
    EXPECT_EQ(Names(CKO_PRIVATE_KEY).first, "Quorvane");
    EXPECT_EQ(Names(CKO_PUBLIC_KEY).first, "Quorvane");
}

TEST_F(CertificateInstallTest, InstallingTwiceLeavesOneCertificate) {
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, der), CKR_OK);
    // The second run destroys the first copy and creates a new one: the count does not rise,
    // so the result is that of C_CreateObject.
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, der), CKR_OK);
    EXPECT_EQ(CertificateCount(), 1u);

    // A certificate of another serial number is added beside it.
    const Bytes other = Issue({{"CN", "Ion Popescu"}}, {0x56});
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, other),
              CKR_OK);
    EXPECT_EQ(CertificateCount(), 2u);
}

TEST_F(CertificateInstallTest, OcsCryptokiLibraryGetsTheHexIdentifier) {
    const std::string linked = hsm_.dir() + "/libOCSCryptoki.so";
    std::filesystem::create_symlink(test::SoftHsmLibrary(), linked);
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    ASSERT_EQ(pki_.InstallCertificate(linked, Padded("Alpha"), pin_, der), CKR_OK);
    const Bytes expected = ToBytes(ToHexUpper(Sha1(modulus_)));
    ASSERT_EQ(expected.size(), 40u);
    EXPECT_EQ(Names(CKO_CERTIFICATE).second, expected);
    EXPECT_EQ(Names(CKO_PRIVATE_KEY).second, expected);
}

TEST_F(CertificateInstallTest, TokenIsFoundByLabelPrefix) {
    hsm_.InitToken("Beta", "1234");
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    EXPECT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Gamma"), pin_, der),
              CKR_TOKEN_NOT_PRESENT);
    // A shorter label compares only its own length.
    ASSERT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), "Alp", pin_, der), CKR_OK);
    EXPECT_EQ(CertificateCount(), 1u);
}

TEST_F(CertificateInstallTest, WrongPinAndBadCertificateLeaveTheTokenUnchanged) {
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    EXPECT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), Secret("0000"), der),
              CKR_PIN_INCORRECT);
    Bytes garbage = der;
    garbage.push_back(0);
    EXPECT_EQ(pki_.InstallCertificate(test::SoftHsmLibrary(), Padded("Alpha"), pin_, garbage),
              static_cast<CK_RV>(kToolkitDecodeError));
    EXPECT_EQ(CertificateCount(), 0u);
    EXPECT_EQ(Names(CKO_PRIVATE_KEY).first, "Tarnwick Private Key");
}

TEST_F(CertificateInstallTest, CertificateFoundAfterAFailedCreateCounts) {
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    hsm_.WriteFaultConfig("fail-after C_CreateObject 0x30\n");
    EXPECT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded("Alpha"), pin_, der),
              CKR_OK);
    EXPECT_EQ(CertificateCount(), 1u);

    hsm_.WriteFaultConfig("fail C_CreateObject 0x31\n");
    const Bytes other = Issue({{"CN", "Ion Popescu"}}, {0x77});
    EXPECT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded("Alpha"), pin_, other),
              CKR_DEVICE_MEMORY);
    EXPECT_EQ(CertificateCount(), 1u);
}

TEST_F(CertificateInstallTest, VendorTokenInfoResultCountsAsSuccess) {
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    hsm_.WriteFaultConfig("fail-after C_GetTokenInfo 0x80000002\n");
    EXPECT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded("Alpha"), pin_, der),
              CKR_OK);
    hsm_.WriteFaultConfig("fail-after C_GetTokenInfo 0x30\n");
    EXPECT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded("Alpha"), pin_, der),
              CKR_DEVICE_ERROR);
}

TEST_F(CertificateInstallTest, CallsAndTemplatesFollowTheFixedOrder) {
    const Bytes der = Issue({{"CN", "Ion Popescu"}});
    CertificateParts parts;
    ASSERT_EQ(ParseCertificateParts(der, parts), 0);
    const Bytes keyId = Sha1(modulus_);
    hsm_.ClearRecord();
    ASSERT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded("Alpha"), pin_, der),
              CKR_OK);
    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    EXPECT_THAT(
        test::CallNames(calls, {"C_Initialize", "C_OpenSession", "C_Login", "C_FindObjectsInit",
                                "C_SetAttributeValue", "C_DestroyObject", "C_CreateObject",
                                "C_Logout", "C_CloseSession", "C_Finalize"}),
        ElementsAre("C_Initialize", "C_OpenSession", "C_Login", "C_FindObjectsInit",
                    "C_SetAttributeValue", "C_FindObjectsInit", "C_SetAttributeValue",
                    "C_FindObjectsInit", "C_CreateObject", "C_Logout", "C_CloseSession",
                    "C_Finalize"));

    std::vector<const test::RecordedCall*> searches;
    const test::RecordedCall* created = nullptr;
    for (const test::RecordedCall& call : calls) {
        if (call.name == "C_FindObjectsInit") {
            searches.push_back(&call);
        } else if (call.name == "C_CreateObject") {
            created = &call;
        } else if (call.name == "C_SetAttributeValue") {
            EXPECT_THAT(call.templates[0],
                        ElementsAre(std::make_pair(CKA_LABEL, ToBytes("Ion Popescu")),
                                    std::make_pair(CKA_ID, keyId)));
        } else if (call.name == "C_Login") {
            EXPECT_EQ(call.fields.at("user"), "0x1");
            EXPECT_EQ(call.fields.at("pinlen"), "4");
        }
    }
    ASSERT_EQ(searches.size(), 3u);
    EXPECT_THAT(searches[0]->templates[0],
                ElementsAre(std::make_pair(CKA_CLASS, test::UlongBytes(CKO_PRIVATE_KEY)),
                            std::make_pair(CKA_MODULUS, modulus_)));
    EXPECT_THAT(searches[1]->templates[0],
                ElementsAre(std::make_pair(CKA_CLASS, test::UlongBytes(CKO_PUBLIC_KEY)),
                            std::make_pair(CKA_MODULUS, modulus_)));
    EXPECT_THAT(searches[2]->templates[0],
                ElementsAre(std::make_pair(CKA_CLASS, test::UlongBytes(CKO_CERTIFICATE)),
                            std::make_pair(CKA_TOKEN, test::BoolBytes(true)),
                            std::make_pair(CKA_CERTIFICATE_TYPE, test::UlongBytes(CKC_X_509)),
                            std::make_pair(CKA_ISSUER, parts.issuer),
                            std::make_pair(CKA_SERIAL_NUMBER, parts.serialDer)));
    ASSERT_NE(created, nullptr);
    EXPECT_THAT(
        created->templates[0],
        ElementsAre(
            std::make_pair(CKA_CLASS, test::UlongBytes(CKO_CERTIFICATE)),
            std::make_pair(CKA_TOKEN, test::BoolBytes(true)),
            std::make_pair(CKA_PRIVATE, test::BoolBytes(false)),
            std::make_pair(CKA_CERTIFICATE_TYPE, test::UlongBytes(CKC_X_509)),
            std::make_pair(CKA_SUBJECT, parts.subject), std::make_pair(CKA_ISSUER, parts.issuer),
            std::make_pair(CKA_VALUE, der), std::make_pair(CKA_SERIAL_NUMBER, parts.serialDer),
            std::make_pair(CKA_ID, keyId), std::make_pair(CKA_LABEL, ToBytes("Ion Popescu"))));
}

// A failed or refused write never costs the token a certificate it held. Rows: the faults,
// whether an older certificate of the same issuer and serial is there, the result, and whether the
// new certificate ends up on the token (otherwise the older one, if any, stays).
TEST_F(CertificateInstallTest, FailedWritesCostTheTokenNothing) {
    const Bytes fresh = Issue({{"CN", "Ion Popescu"}, {"O", "Nou"}});
    const Bytes older = Issue({{"CN", "Ion Popescu"}});
    const Bytes otherIssuer =
        TestCa("Another CA").Issue(modulus_, exponent_, {{"CN", "Ion Popescu"}}, {0x12, 0x34});
    const std::tuple<const char*, bool, CK_RV, const Bytes*> rows[] = {
        {"fail C_CreateObject 0x31\nfail C_FindObjectsInit 0x30 skip 3 times 1", false,
         CKR_DEVICE_MEMORY, nullptr},
        {"fail C_CreateObject 0x30", true, CKR_DEVICE_ERROR, &older},
        {"fail C_CreateObject 0x31 times 2", true, CKR_DEVICE_MEMORY, &older},
        {"fail C_CreateObject 0xd1 times 1", true, CKR_OK, &fresh},
        {"", false, CKR_OK, &fresh}};
    for (std::size_t row = 0; row < std::size(rows); ++row) {
        const auto& [faults, withOlder, expected, kept] = rows[row];
        SCOPED_TRACE(faults);
        const std::string label = "Row" + std::to_string(row);  // a token of its own
        hsm_.InitToken(label, "1234");
        {
            test::SoftHsm::Session session(label, "1234");
            session.CreateCertificate(otherIssuer, {}, "other");
            if (withOlder) {
                session.CreateCertificate(older, {}, "older");
            }
        }
        hsm_.WriteFaultConfig(std::string(faults) + "\n");
        EXPECT_EQ(pki_.InstallCertificate(test::FaultModuleLibrary(), Padded(label), pin_, fresh),
                  expected);
        std::set<Bytes> onToken;
        test::SoftHsm::Session session(label, "1234");
        for (const CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
            onToken.insert(session.Attribute(object, CKA_VALUE));
        }
        EXPECT_EQ(onToken,
                  (kept ? std::set<Bytes>{otherIssuer, *kept} : std::set<Bytes>{otherIssuer}));
    }
}

}  // namespace
}  // namespace qe
