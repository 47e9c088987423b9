#pragma once

#include <string>
#include <utility>
#include <vector>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/rsa_public_key.h"

namespace qe::test {

// Subject entries in order: short name ("CN", "O", "OU", ...) and UTF-8 value.
using SubjectEntries = std::vector<std::pair<std::string, std::string>>;

using qe::RsaPublicKey;

// A software certification authority that issues X.509 certificates for keys kept on a token.
// Throws std::runtime_error when OpenSSL fails.
class TestCa {
public:
    explicit TestCa(const std::string& commonName = "Quorvane Test CA");

    // A certificate for the public key, with this subject and serial number (unsigned
    // big-endian bytes), valid from an hour ago for a year, SHA-256 with the CA's key.
    Bytes Issue(const Bytes& modulus, const Bytes& exponent, const SubjectEntries& subject,
                const Bytes& serial) const;

    // The same for any public key.
    Bytes Issue(EVP_PKEY* key, const SubjectEntries& subject, const Bytes& serial) const;

    const Bytes& der() const { return der_; }
    EVP_PKEY* key() const { return key_.get(); }

private:
    PkeyPtr key_;
    X509Ptr certificate_;
    Bytes der_;
};

}  // namespace qe::test
