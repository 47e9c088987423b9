#include "support/test_pki.h"

#include <stdexcept>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace qe::test {
namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("OpenSSL: ") + what);
    }
}

void SetSerial(X509* cert, const Bytes& serial) {
    static long count = 1;
    if (serial.empty()) {
        ASN1_INTEGER_set(X509_get_serialNumber(cert), ++count);
        return;
    }
    BignumPtr number(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    Require(number != nullptr &&
                BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert)) != nullptr,
            "serial");
}

X509Ptr Make(const CertContent& content, EVP_PKEY* key, const X509* issuer, EVP_PKEY* issuerKey,
             bool ca) {
    X509Ptr cert(X509_new());
    Require(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), X509_VERSION_3);
    SetSerial(cert.get(), content.serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -content.backdate);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), content.days * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const NameEntry& e : content.subject) {
        // The character-set path would refuse an empty value.
        const int type = e.value.empty() && e.type == MBSTRING_UTF8 ? V_ASN1_UTF8STRING : e.type;
        Require(X509_NAME_add_entry_by_txt(name, e.field.c_str(), type,
                                           reinterpret_cast<const unsigned char*>(e.value.data()),
                                           static_cast<int>(e.value.size()), -1, e.set) == 1,
                "name entry");
    }
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer != nullptr ? const_cast<X509*>(issuer) : cert.get(), cert.get(),
                   nullptr, nullptr, 0);
    for (const auto& [nid, value] :
         {std::pair<int, std::string>{NID_basic_constraints, ca ? "critical,CA:TRUE" : ""},
          {NID_subject_alt_name, content.altNames},
          {NID_key_usage, content.keyUsage},
          {NID_ext_key_usage, content.extendedKeyUsage}}) {
        if (!value.empty()) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
            X509_add_ext(cert.get(), ext, -1);
            X509_EXTENSION_free(ext);
        }
    }
    Require(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0,
            "X509_sign");
    return cert;
}

}  // namespace

Bytes MakeCertificate(const CertContent& content, EVP_PKEY* key, const X509* issuer,
                      EVP_PKEY* issuerKey) {
    const X509Ptr cert = Make(content, key, issuer, issuerKey, false);
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    Require(n > 0, "i2d_X509");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

PkeyPtr GenerateRsaKey(int bits) {
    return PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits)));
}

Bytes KeyPart(const EVP_PKEY* key, const char* name) {
    BIGNUM* number = nullptr;
    Require(EVP_PKEY_get_bn_param(key, name, &number) == 1, name);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
    BN_bn2bin(number, bytes.data());
    BN_free(number);
    return bytes;
}

X509ReqPtr ParseRequestPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
}

std::string SubjectLine(const X509_REQ* request) {
    char line[256] = {};
    X509_NAME_oneline(X509_REQ_get_subject_name(request), line, sizeof line);
    return line;
}

EVP_PKEY* SharedKey() {
    static const PkeyPtr key = GenerateRsaKey();
    return key.get();
}

X509Ptr FromDer(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

TestCa::TestCa(const std::string& commonName) : key_(GenerateRsaKey()) {
    Require(key_ != nullptr, "CA key");
    der_ = MakeCertificate(
        {{{"C", "RO"}, {"O", "Quorvane"}, {"CN", commonName}}, {}, 365, {0x01}, 3600}, key_.get());
    certificate_ = FromDer(der_);
}

TestPki TestPki::Create(const std::string& dir, const std::string& caName, long serverValidDays,
                        const char* serverNames) {
    TestPki pki;
    pki.caKey = GenerateRsaKey();
    pki.caCert = Make({{{"CN", caName}}}, pki.caKey.get(), nullptr, nullptr, true);
    pki.serverKey = GenerateRsaKey();
    pki.serverCert = Make({{{"CN", "localhost"}}, serverNames, serverValidDays},
                          pki.serverKey.get(), pki.caCert.get(), pki.caKey.get(), false);
    pki.caFile = dir + "/ca.pem";
    const BioPtr file(BIO_new_file(pki.caFile.c_str(), "w"));
    Require(file && PEM_write_bio_X509(file.get(), pki.caCert.get()) == 1, "ca.pem");
    return pki;
}

}  // namespace qe::test
