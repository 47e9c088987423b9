#include "sim/cert_issuer.h"

#include <openssl/rand.h>

namespace qe::sim {
namespace {

constexpr int kSerialOctets = 16;
constexpr long kSecondsPerDay = 24L * 60 * 60;
// Back-dated a little so a client whose clock runs slow still accepts a fresh certificate.
constexpr long kBackdateSeconds = 60L * 60;

bool AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : certificate, certificate, nullptr, nullptr,
                   0);
    X509ExtensionPtr extension(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

}  // namespace

Asn1IntegerPtr FreshSerial() {
    unsigned char octets[kSerialOctets];
    do {
        if (RAND_bytes(octets, kSerialOctets) != 1) {
            return nullptr;
        }
    } while (octets[0] == 0);
    BignumPtr number(BN_bin2bn(octets, kSerialOctets, nullptr));
    return Asn1IntegerPtr(number ? BN_to_ASN1_INTEGER(number.get(), nullptr) : nullptr);
}

X509Ptr MakeCertificate(const CertificateSpec& spec) {
    X509Ptr certificate(X509_new());
    Asn1IntegerPtr serial = FreshSerial();
    if (!certificate || !serial || spec.subject == nullptr || spec.publicKey == nullptr ||
        spec.signingKey == nullptr) {
        return nullptr;
    }
    const X509_NAME* issuerName =
        spec.issuer != nullptr ? X509_get_subject_name(spec.issuer) : spec.subject;
    if (X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        X509_set_serialNumber(certificate.get(), serial.get()) != 1 ||
        X509_set_subject_name(certificate.get(), spec.subject) != 1 ||
        X509_set_issuer_name(certificate.get(), issuerName) != 1 ||
        X509_set_pubkey(certificate.get(), spec.publicKey) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), spec.validDays * kSecondsPerDay) ==
            nullptr) {
        return nullptr;
    }
    for (const auto& [nid, value] : spec.extensions) {
        if (!AddExtension(certificate.get(), spec.issuer, nid, value)) {
            return nullptr;
        }
    }
    if (spec.altNames != nullptr && sk_GENERAL_NAME_num(spec.altNames) > 0 &&
        X509_add1_ext_i2d(certificate.get(), NID_subject_alt_name,
                          const_cast<GENERAL_NAMES*>(spec.altNames), 0, X509V3_ADD_DEFAULT) != 1) {
        return nullptr;
    }
    if (X509_sign(certificate.get(), spec.signingKey, EVP_sha256()) <= 0) {
        return nullptr;
    }
    return certificate;
}

X509Ptr IssueCustomerCertificate(const Pki& pki, const X509_NAME* subject, EVP_PKEY* publicKey,
                                 const GENERAL_NAMES* altNames) {
    CertificateSpec spec;
    spec.subject = subject;
    spec.publicKey = publicKey;
    spec.issuer = pki.issuingCa.get();
    spec.signingKey = pki.issuingKey.get();
    spec.validDays = 365;
    spec.extensions = {
        {NID_basic_constraints, "critical,CA:FALSE"},
        {NID_key_usage, "critical,digitalSignature,nonRepudiation,keyEncipherment"},
        {NID_ext_key_usage, "clientAuth,emailProtection"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    spec.altNames = altNames;
    return MakeCertificate(spec);
}

}  // namespace qe::sim
