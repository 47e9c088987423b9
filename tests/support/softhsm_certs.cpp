#include "support/softhsm_certs.h"

#include <stdexcept>

#include <openssl/rsa.h>

namespace qe::test {
namespace {

void Require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("OpenSSL: ") + what);
    }
}

X509NamePtr MakeName(const SubjectEntries& entries) {
    X509NamePtr name(X509_NAME_new());
    for (const auto& [field, value] : entries) {
        // An empty value is written as it is; the character-set path would refuse it.
        const int type = value.empty() ? V_ASN1_UTF8STRING : MBSTRING_UTF8;
        Require(X509_NAME_add_entry_by_txt(name.get(), field.c_str(), type,
                                           reinterpret_cast<const unsigned char*>(value.data()),
                                           static_cast<int>(value.size()), -1, 0) == 1,
                "name entry");
    }
    return name;
}

Bytes ToDer(X509* certificate) {
    const int size = i2d_X509(certificate, nullptr);
    Require(size > 0, "i2d_X509");
    Bytes der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    i2d_X509(certificate, &out);
    return der;
}

X509Ptr MakeCertificate(EVP_PKEY* subjectKey, const X509_NAME* subject, const X509_NAME* issuer,
                        const Bytes& serial, EVP_PKEY* issuerKey) {
    X509Ptr certificate(X509_new());
    Require(certificate != nullptr, "X509_new");
    X509_set_version(certificate.get(), 2);
    BignumPtr number(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    Require(
        number != nullptr &&
            BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())) != nullptr,
        "serial");
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365L * 24 * 3600);
    Require(X509_set_subject_name(certificate.get(), subject) == 1, "subject");
    Require(X509_set_issuer_name(certificate.get(), issuer) == 1, "issuer");
    Require(X509_set_pubkey(certificate.get(), subjectKey) == 1, "public key");
    Require(X509_sign(certificate.get(), issuerKey, EVP_sha256()) > 0, "X509_sign");
    return certificate;
}

}  // namespace

TestCa::TestCa(const std::string& commonName) : key_(EVP_RSA_gen(2048)) {
    Require(key_ != nullptr, "CA key");
    const X509NamePtr name = MakeName({{"C", "RO"}, {"O", "Quorvane"}, {"CN", commonName}});
    certificate_ = MakeCertificate(key_.get(), name.get(), name.get(), Bytes{0x01}, key_.get());
    der_ = ToDer(certificate_.get());
}

Bytes TestCa::Issue(const Bytes& modulus, const Bytes& exponent, const SubjectEntries& subject,
                    const Bytes& serial) const {
    return Issue(RsaPublicKey(modulus, exponent).get(), subject, serial);
}

Bytes TestCa::Issue(EVP_PKEY* key, const SubjectEntries& subject, const Bytes& serial) const {
    const X509NamePtr name = MakeName(subject);
    return ToDer(MakeCertificate(key, name.get(), X509_get_subject_name(certificate_.get()), serial,
                                 key_.get())
                     .get());
}

}  // namespace qe::test
