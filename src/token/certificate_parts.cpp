#include "token/certificate_parts.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "log/last_error.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/status.h"

namespace qe {
namespace {

// i2d into a byte vector; empty on failure.
template <typename T, int (*Encode)(const T*, unsigned char**)>
Bytes EncodeDer(const T* object) {
    const int size = Encode(object, nullptr);
    if (size <= 0) {
        return {};
    }
    Bytes der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    if (Encode(object, &out) != size) {
        return {};
    }
    return der;
}

std::string LastCommonName(const X509_NAME* name) {
    int last = -1;
    for (int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) {
        last = i;
    }
    if (last < 0) {
        return {};
    }
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last));
    if (value == nullptr || ASN1_STRING_length(value) <= 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                       static_cast<std::size_t>(ASN1_STRING_length(value)));
}

Bytes RsaModulus(const X509* certificate) {
    const EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        return {};
    }
    BIGNUM* n = nullptr;
    if (EVP_PKEY_get_bn_param(key, "n", &n) != 1) {
        return {};
    }
    BignumPtr modulus(n);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(modulus.get())));
    BN_bn2bin(modulus.get(), bytes.data());
    return bytes;
}

}  // namespace

int ParseCertificateParts(const Bytes& der, CertificateParts& parts) {
    const unsigned char* in = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
    if (certificate == nullptr || in != der.data() + der.size()) {
        SetLastErrorFromOpenSsl();
        return kToolkitDecodeError;
    }
    CertificateParts result;
    result.subject = EncodeDer<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(certificate.get()));
    result.issuer = EncodeDer<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(certificate.get()));
    result.serialDer =
        EncodeDer<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(certificate.get()));
    result.modulus = RsaModulus(certificate.get());
    if (result.subject.empty() || result.issuer.empty() || result.serialDer.empty() ||
        result.modulus.empty()) {
        SetLastErrorFromOpenSsl();
        return kToolkitDecodeError;
    }
    result.label = LastCommonName(X509_get_subject_name(certificate.get()));
    if (result.label.empty()) {
        result.label = kDefaultObjectLabel;
    }
    parts = std::move(result);
    return 0;
}

Bytes ComputeKeyId(const Bytes& modulus, std::string_view modulePath) {
    Bytes hash(SHA_DIGEST_LENGTH);
    SHA1(modulus.data(), modulus.size(), hash.data());
    if (modulePath.find("OCSCryptoki") != std::string_view::npos ||
        modulePath.find("ocscryptoki") != std::string_view::npos) {
        return ToBytes(ToHexUpper(hash));
    }
    return hash;
}

}  // namespace qe
