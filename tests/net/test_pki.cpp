#include "test_pki.h"

#include <cstdio>
#include <stdexcept>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace qe::test {
namespace {

X509Ptr MakeCert(const std::string& cn, EVP_PKEY* subjectKey, const X509* issuer,
                 EVP_PKEY* issuerKey, bool ca, const char* san, long days, long serial) {
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), subjectKey);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? const_cast<X509*>(issuer) : cert.get(), cert.get(), nullptr,
                   nullptr, 0);
    const auto add = [&](int nid, const char* value) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    };
    add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (san != nullptr) {
        add(NID_subject_alt_name, san);
    }
    if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) {
        throw std::runtime_error("signing a test certificate failed");
    }
    return cert;
}

}  // namespace

PkeyPtr GenerateRsaKey(int bits) {
    return PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits)));
}

Bytes ToDer(const X509* cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    Bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    return out;
}

X509Ptr FromDer(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

TestPki TestPki::Create(const std::string& dir, const std::string& caName, long serverValidDays,
                        const char* serverNames) {
    TestPki pki;
    pki.caKey = GenerateRsaKey();
    pki.caCert = MakeCert(caName, pki.caKey.get(), nullptr, pki.caKey.get(), true, nullptr, 30, 1);
    pki.serverKey = GenerateRsaKey();
    pki.serverCert = MakeCert("localhost", pki.serverKey.get(), pki.caCert.get(), pki.caKey.get(),
                              false, serverNames, serverValidDays, 2);
    pki.caFile = dir + "/ca.pem";
    std::FILE* f = std::fopen(pki.caFile.c_str(), "w");
    if (f == nullptr) {
        throw std::runtime_error("cannot write " + pki.caFile);
    }
    PEM_write_X509(f, pki.caCert.get());
    std::fclose(f);
    return pki;
}

Bytes TestPki::Issue(EVP_PKEY* key, const std::string& commonName, long validDays) const {
    static long serial = 100;
    return ToDer(
        MakeCert(commonName, key, caCert.get(), caKey.get(), false, nullptr, validDays, ++serial)
            .get());
}

}  // namespace qe::test
