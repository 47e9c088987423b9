#include "request/certification_request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include "cert_factory.h"
#include "request/cert_names.h"
#include "request/pem.h"

namespace qe {
namespace {

Bytes BigEndian(const EVP_PKEY* key, const char* param) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(key, param, &bn);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// Stands in for the token in these tests: a raw RSA PKCS#1 v1.5 signature over the DigestInfo.
DigestInfoSigner SoftwareSigner(EVP_PKEY* key) {
    return [key](const Bytes& digestInfo, Bytes& signature) {
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
        std::size_t size = 0;
        if (EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_sign(ctx.get(), nullptr, &size, digestInfo.data(), digestInfo.size()) != 1) {
            return 1;
        }
        signature.resize(size);
        return EVP_PKEY_sign(ctx.get(), signature.data(), &size, digestInfo.data(),
                             digestInfo.size()) == 1
                   ? 0
                   : 1;
    };
}

X509ReqPtr Parse(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509ReqPtr(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
}

RequestContent ContentFor(EVP_PKEY* key, SubjectFields subject) {
    RequestContent content;
    content.subject = std::move(subject);
    content.modulus = BigEndian(key, OSSL_PKEY_PARAM_RSA_N);
    content.publicExponent = BigEndian(key, OSSL_PKEY_PARAM_RSA_E);
    return content;
}

TEST(CertificationRequest, VerifiesAndCarriesTheFixedFields) {
    const PkeyPtr key = test::MakeRsaKey();
    const auto content =
        ContentFor(key.get(), SubjectFieldsFromServerFields({{"C", "RO"}, {"CN", "Test User"}}));
    Bytes der;
    ASSERT_EQ(BuildCertificationRequest(content, SoftwareSigner(key.get()), der), 0);
    const X509ReqPtr request = Parse(der);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_get_version(request.get()), 0);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    EXPECT_EQ(X509_REQ_get_signature_nid(request.get()), NID_sha256WithRSAEncryption);
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(request.get(), nullptr, &algorithm);
    int parameterType = 0;
    X509_ALGOR_get0(nullptr, &parameterType, nullptr, algorithm);
    EXPECT_EQ(parameterType, V_ASN1_NULL);
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);  // no extensions asked for
    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(request.get()), key.get()), 1);
}

TEST(CertificationRequest, RenewalRepeatsSubjectAndAlternativeNames) {
    const PkeyPtr oldKey = test::MakeRsaKey();
    test::CertSpec spec;
    spec.subject = {{"C", "RO", MBSTRING_ASC},
                    {"O", "Firma SRL", MBSTRING_UTF8},
                    {"CN", "Ion Popescu", MBSTRING_UTF8}};
    spec.emails = {"ion@firma.ro"};
    spec.upn = "ion@firma.local";
    const Bytes oldCert = test::MakeCertificate(spec, oldKey.get());

    const auto names =
        ReadCertFields(BuildDNFromCertificate(oldCert), FieldValueRule::TrimLineEnds);
    ASSERT_TRUE(names);
    const RequestedExtensions extensions = GetSubjectAlternativeNames(oldCert);
    const PkeyPtr newKey = test::MakeRsaKey();
    auto content = ContentFor(newKey.get(), SubjectFieldsFromCertificateNames(*names));
    content.extensions = &extensions;
    Bytes der;
    ASSERT_EQ(BuildCertificationRequest(content, SoftwareSigner(newKey.get()), der), 0);
    const X509ReqPtr request = Parse(der);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);

    const unsigned char* p = oldCert.data();
    const X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(oldCert.size())));
    EXPECT_EQ(
        X509_NAME_cmp(X509_REQ_get_subject_name(request.get()), X509_get_subject_name(cert.get())),
        0);

    STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(request.get());
    ASSERT_EQ(sk_X509_EXTENSION_num(exts), 1);
    GeneralNamesPtr sans(
        static_cast<GENERAL_NAMES*>(X509V3_get_d2i(exts, NID_subject_alt_name, nullptr, nullptr)));
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    ASSERT_EQ(sk_GENERAL_NAME_num(sans.get()), 2);
    EXPECT_EQ(sk_GENERAL_NAME_value(sans.get(), 0)->type, GEN_OTHERNAME);
    EXPECT_EQ(sk_GENERAL_NAME_value(sans.get(), 1)->type, GEN_EMAIL);
    GeneralNamesPtr original(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    EXPECT_EQ(GENERAL_NAME_cmp(sk_GENERAL_NAME_value(sans.get(), 0),
                               sk_GENERAL_NAME_value(original.get(), 0)),
              0);
}

TEST(CertificationRequest, AltNameVariants) {
    const PkeyPtr key = test::MakeRsaKey();
    RequestedExtensions extensions;
    extensions.altNames.otherNameOid = "1.3.6.1.4.1.311.25.1";
    extensions.altNames.otherNameValue = {0x04, 0x02, 0xAB, 0xCD};
    extensions.altNames.dnsNames = "a.ro;;b.ro";
    auto content = ContentFor(key.get(), SubjectFieldsFromServerFields({{"CN", "x"}}));
    content.extensions = &extensions;
    Bytes der;
    ASSERT_EQ(BuildCertificationRequest(content, SoftwareSigner(key.get()), der), 0);
    const X509ReqPtr request = Parse(der);
    STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(request.get());
    GeneralNamesPtr sans(
        static_cast<GENERAL_NAMES*>(X509V3_get_d2i(exts, NID_subject_alt_name, nullptr, nullptr)));
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    ASSERT_EQ(sk_GENERAL_NAME_num(sans.get()), 3);
    const OTHERNAME* other = sk_GENERAL_NAME_value(sans.get(), 0)->d.otherName;
    ASSERT_EQ(other->value->type, V_ASN1_OCTET_STRING);
    const ASN1_OCTET_STRING* wrapped = other->value->value.octet_string;
    EXPECT_EQ(Bytes(ASN1_STRING_get0_data(wrapped),
                    ASN1_STRING_get0_data(wrapped) + ASN1_STRING_length(wrapped)),
              (Bytes{0x04, 0x02, 0xAB, 0xCD}));

    // Nothing to name: no extension request at all. An OID we do not carry is left out too.
    RequestedExtensions nothing;
    nothing.altNames.otherNameOid = "1.2.3.4";
    nothing.altNames.otherNameValue = {0x0C, 0x01, 'x'};
    content.extensions = &nothing;
    ASSERT_EQ(BuildCertificationRequest(content, SoftwareSigner(key.get()), der), 0);
    EXPECT_EQ(X509_REQ_get_attr_count(Parse(der).get()), 0);
}

TEST(CertificationRequest, SignerFailureAndSubjectRefusalPassThrough) {
    const PkeyPtr key = test::MakeRsaKey();
    Bytes der;
    const auto failing = [](const Bytes&, Bytes&) { return 523; };
    EXPECT_EQ(
        BuildCertificationRequest(
            ContentFor(key.get(), SubjectFieldsFromServerFields({{"CN", "x"}})), failing, der),
        523);
    EXPECT_EQ(BuildCertificationRequest(
                  ContentFor(key.get(), SubjectFieldsFromServerFields({{"CN", ""}})),
                  SoftwareSigner(key.get()), der),
              1799);
}

TEST(Pem, CrLfEveryLineAndNoEmptyLineBeforeTheFooter) {
    std::string line;
    for (int i = 0; i < 16; ++i) {
        line += "QUFB";
    }
    EXPECT_EQ(CertificateRequestPem(Bytes(48, 'A')),  // exactly 64 Base64 characters
              "-----BEGIN CERTIFICATE REQUEST-----\r\n" + line +
                  "\r\n-----END CERTIFICATE REQUEST-----\r\n");
    const std::string pem = CertificateRequestPem(Bytes(100, 0x00));  // 136 = 2 * 64 + 8
    EXPECT_NE(pem.find("\r\n" + std::string(64, 'A') + "\r\nAAAAAA==\r\n-----END"),
              std::string::npos);
}

}  // namespace
}  // namespace qe
