#include "request/certification_request.h"

#include <gtest/gtest.h>

#include <openssl/core_names.h>

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

class CertificationRequestTest : public ::testing::Test {
protected:
    CertificationRequestTest() {
        content_.subject[kSlotCountry] = "RO";
        content_.subject[kSlotCommonName] = "Ion Popescu";
        content_.modulus = KeyPart(OSSL_PKEY_PARAM_RSA_N);
        content_.publicExponent = KeyPart(OSSL_PKEY_PARAM_RSA_E);
    }
    X509ReqPtr Build(const DigestInfoSigner& sign) {
        Bytes der;
        EXPECT_EQ(BuildCertificationRequest(content_, sign, der), 0);
        const unsigned char* p = der.data();
        return X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    }
    RequestContent content_;
};

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
