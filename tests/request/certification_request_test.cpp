#include "request/certification_request.h"

#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include "net/test_pki.h"
#include "request/pem.h"
#include "toolkit/status.h"

namespace qe {
namespace {

Bytes KeyPart(const char* param) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(test::SharedKey(), param, &bn);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// Stands in for the token: a PKCS#1 v1.5 signature over the DigestInfo, the token pads.
int SoftwareSign(const Bytes& digestInfo, Bytes& signature) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(test::SharedKey(), nullptr));
    std::size_t size = 0;
    EVP_PKEY_sign_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_sign(ctx.get(), nullptr, &size, digestInfo.data(), digestInfo.size());
    signature.resize(size);
    return EVP_PKEY_sign(ctx.get(), signature.data(), &size, digestInfo.data(),
                         digestInfo.size()) == 1
               ? 0
               : 1;
}

class CertificationRequestTest : public ::testing::Test {
protected:
    CertificationRequestTest() {
        content_.subject[kSlotCountry] = "RO";
        content_.subject[kSlotCommonName] = "Ion Popescu";
        content_.modulus = KeyPart(OSSL_PKEY_PARAM_RSA_N);
        content_.publicExponent = KeyPart(OSSL_PKEY_PARAM_RSA_E);
    }
    X509ReqPtr Build(const DigestInfoSigner& sign = SoftwareSign) {
        Bytes der;
        EXPECT_EQ(BuildCertificationRequest(content_, sign, der), 0);
        const unsigned char* p = der.data();
        return X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    }
    RequestContent content_;
};

TEST_F(CertificationRequestTest, VersionZeroSubjectKeyAndSha256WithRsaSignature) {
    const X509ReqPtr request = Build();
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_get_version(request.get()), 0);
    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(request.get()), test::SharedKey()), 1);
    EXPECT_EQ(X509_REQ_verify(request.get(), test::SharedKey()), 1);
    X509NamePtr subject;
    ASSERT_EQ(BuildSubjectName(content_.subject, subject), 0);
    EXPECT_EQ(X509_NAME_cmp(X509_REQ_get_subject_name(request.get()), subject.get()), 0);
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(request.get(), nullptr, &algorithm);
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = 0;
    X509_ALGOR_get0(&oid, &parameterType, nullptr, algorithm);
    EXPECT_EQ(OBJ_obj2nid(oid), NID_sha256WithRSAEncryption);
    EXPECT_EQ(parameterType, V_ASN1_NULL);
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);

    const RequestedExtensions extensions{{std::nullopt, {}, "", "a.ro", false}};
    content_.extensions = &extensions;
    EXPECT_EQ(X509_REQ_get_attr_count(Build().get()), 1);
}

TEST_F(CertificationRequestTest, SignatureKeepsItsTrailingZeroOctets) {
    const X509ReqPtr request = Build([](const Bytes&, Bytes& signature) {
        signature.assign(256, 0);
        signature[0] = 0x42;
        return 0;
    });
    const ASN1_BIT_STRING* bits = nullptr;
    X509_REQ_get0_signature(request.get(), &bits, nullptr);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(ASN1_STRING_length(bits), 256);
}

TEST_F(CertificationRequestTest, FailuresPassThroughWithTheirCodes) {
    int signatures = 0;
    const auto count = [&signatures](const Bytes&, Bytes&) { return ++signatures, 523; };
    Bytes der = ToBytes("kept");
    EXPECT_EQ(BuildCertificationRequest(content_, count, der), 523);
    content_.subject[kSlotCommonName] = "";
    EXPECT_EQ(BuildCertificationRequest(content_, count, der), kToolkitEmptyValue);
    EXPECT_EQ(signatures, 1);
    EXPECT_EQ(ToString(der), "kept");
}

TEST(Pem, CrLfAfterEveryLineOf64Characters) {
    const std::string line(64, 'A');
    const struct {
        std::size_t size;
        std::string body;
    } cases[] = {
        {0, ""},
        {1, "AA==\r\n"},
        {48, line + "\r\n"},
        {49, line + "\r\nAA==\r\n"},
        {100, line + "\r\n" + line + "\r\nAAAAAA==\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CertificateRequestPem(Bytes(c.size, 0)),
                  "-----BEGIN CERTIFICATE REQUEST-----\r\n" + c.body +
                      "-----END CERTIFICATE REQUEST-----\r\n")
            << c.size;
    }
}

}  // namespace
}  // namespace qe
