#include "token/certificate_parts.h"

#include <gtest/gtest.h>

#include <openssl/rsa.h>

#include "support/softhsm_certs.h"
#include "toolkit/status.h"

namespace qe {
namespace {

class CertificatePartsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
        EVP_PKEY* key = nullptr;
        EVP_PKEY_keygen_init(context.get());
        EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 1024);
        EVP_PKEY_generate(context.get(), &key);
        BIGNUM* n = nullptr;
        EVP_PKEY_get_bn_param(key, "n", &n);
        modulus_ = Bytes(static_cast<std::size_t>(BN_num_bytes(n)));
        BN_bn2bin(n, modulus_.data());
        BN_free(n);
        EVP_PKEY_free(key);
        ca_ = new test::TestCa();
    }
    static void TearDownTestSuite() { delete ca_; }

    static Bytes Issue(const test::SubjectEntries& subject, const Bytes& serial = {0x01}) {
        return ca_->Issue(modulus_, Bytes{1, 0, 1}, subject, serial);
    }

    static Bytes modulus_;
    static test::TestCa* ca_;
};
Bytes CertificatePartsTest::modulus_;
test::TestCa* CertificatePartsTest::ca_ = nullptr;

TEST_F(CertificatePartsTest, PartsOfAnIssuedCertificate) {
    CertificateParts parts;
    ASSERT_EQ(
        ParseCertificateParts(
            Issue({{"CN", "Ana"}, {"O", "Firma"}, {"CN", "Ana Semnătură"}}, {0x80, 0x01}), parts),
        0);
    EXPECT_EQ(parts.label, "Ana Semnătură");
    EXPECT_EQ(parts.modulus, modulus_);
    // A serial whose first byte has the high bit set gets its zero octet in DER.
    EXPECT_EQ(parts.serialDer, (Bytes{0x02, 0x03, 0x00, 0x80, 0x01}));
    EXPECT_EQ(parts.subject.front(), 0x30);
    EXPECT_EQ(parts.issuer.front(), 0x30);
    EXPECT_NE(parts.subject, parts.issuer);
}

TEST_F(CertificatePartsTest, NoOrEmptyCommonNameGivesTheDefaultLabel) {
    CertificateParts parts;
    ASSERT_EQ(ParseCertificateParts(Issue({{"O", "Firma"}}), parts), 0);
    EXPECT_EQ(parts.label, "Quorvane");
    ASSERT_EQ(ParseCertificateParts(Issue({{"CN", "First"}, {"CN", ""}}), parts), 0);
    EXPECT_EQ(parts.label, "Quorvane");
}

TEST_F(CertificatePartsTest, RefusesWhatIsNotOneCertificate) {
    const Bytes der = Issue({{"CN", "Ana"}});
    CertificateParts parts;
    parts.label = "untouched";
    Bytes trailing = der;
    trailing.push_back(0x00);
    EXPECT_EQ(ParseCertificateParts(trailing, parts), kToolkitDecodeError);
    EXPECT_EQ(ParseCertificateParts(Bytes(der.begin(), der.end() - 1), parts), kToolkitDecodeError);
    EXPECT_EQ(ParseCertificateParts({}, parts), kToolkitDecodeError);
    EXPECT_EQ(parts.label, "untouched");
}

TEST(ComputeKeyIdTest, Sha1OrItsUpperCaseHexForOcsCryptoki) {
    const Bytes abc = ToBytes("abc");
    const Bytes sha1 = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                        0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    EXPECT_EQ(ComputeKeyId(abc, "/usr/lib/libvendor.so"), sha1);
    EXPECT_EQ(ToString(ComputeKeyId(abc, "OCSCryptoki.dll")),
              "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(ComputeKeyId(abc, "/opt/libocscryptoki.so").size(), 40u);
    EXPECT_EQ(ComputeKeyId(abc, "/opt/libOcsCryptoki.so"), sha1);
}

}  // namespace
}  // namespace qe
