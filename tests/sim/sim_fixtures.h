#pragma once

#include <optional>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "sim/cert_util.h"
#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

inline PkeyPtr NewRsaKey(unsigned bits = 2048) {
    return PkeyPtr(EVP_RSA_gen(bits));
}

// A customer whose key lives in software rather than on a token: a certificate from the
// simulator's issuing CA, recorded as issued, with PEM files of both.
struct SoftwareCustomer {
    PkeyPtr key;
    X509Ptr certificate;
    std::string keyPath;
    std::string certPath;
};

// Issues from the authority in `stateDir` (created when missing) and writes `fileStem`.key/.pem.
// Throws std::runtime_error on failure.
SoftwareCustomer MakeSoftwareCustomer(const std::string& stateDir, const std::string& subject,
                                      const std::string& fileStem);

// A PKCS#10 request for `key` in PEM with CR LF line ends, as the wizard uploads it.
std::string MakeRequestPem(EVP_PKEY* key, const std::string& subject,
                           const GENERAL_NAMES* altNames = nullptr,
                           const EVP_MD* digest = EVP_sha256());

// Opens a delivery with OpenSSL's own CMS code, independent of the simulator's builder.
std::optional<Bytes> OpenDelivery(const Bytes& delivery, EVP_PKEY* key, X509* certificate);

}  // namespace qe::test
