#include "cert_factory.h"

#include <stdexcept>

#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace qe::test {

PkeyPtr MakeRsaKey(int bits) {
    PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!key) {
        throw std::runtime_error("RSA key generation failed");
    }
    return key;
}

Bytes MakeCertificate(const CertSpec& spec, EVP_PKEY* key) {
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const NameEntry& e : spec.subject) {
        X509_NAME_add_entry_by_txt(name, e.field.c_str(), e.type,
                                   reinterpret_cast<const unsigned char*>(e.value.data()),
                                   static_cast<int>(e.value.size()), -1, 0);
    }
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    if (spec.withSan) {
        GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
        const auto addString = [&names](int type, const std::string& text) {
            GENERAL_NAME* gn = GENERAL_NAME_new();
            ASN1_IA5STRING* s = ASN1_IA5STRING_new();
            ASN1_STRING_set(s, text.data(), static_cast<int>(text.size()));
            GENERAL_NAME_set0_value(gn, type, s);
            sk_GENERAL_NAME_push(names.get(), gn);
        };
        if (!spec.upn.empty()) {
            ASN1_TYPE* value = ASN1_TYPE_new();
            ASN1_UTF8STRING* utf8 = ASN1_UTF8STRING_new();
            ASN1_STRING_set(utf8, spec.upn.data(), static_cast<int>(spec.upn.size()));
            ASN1_TYPE_set(value, V_ASN1_UTF8STRING, utf8);
            GENERAL_NAME* gn = GENERAL_NAME_new();
            GENERAL_NAME_set0_othername(gn, OBJ_txt2obj("1.3.6.1.4.1.311.20.2.3", 1), value);
            sk_GENERAL_NAME_push(names.get(), gn);
        }
        for (const auto& email : spec.emails) {
            addString(GEN_EMAIL, email);
        }
        for (const auto& dns : spec.dnsNames) {
            addString(GEN_DNS, dns);
        }
        X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT);
    }
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) {
        throw std::runtime_error("certificate signing failed");
    }
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

}  // namespace qe::test
