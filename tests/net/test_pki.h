#pragma once

#include <string>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

// A throw-away CA with a TLS server certificate for localhost and 127.0.0.1, written to `dir`
// (ca.pem is what SSL_CERT_FILE points at).
struct TestPki {
    PkeyPtr caKey;
    X509Ptr caCert;
    PkeyPtr serverKey;
    X509Ptr serverCert;
    std::string caFile;

    // `serverValidDays` below zero gives an expired server certificate; `serverNames` are the
    // server certificate's subject alternative names.
    static TestPki Create(const std::string& dir, const std::string& caName = "Test Root CA",
                          long serverValidDays = 30,
                          const char* serverNames = "DNS:localhost,IP:127.0.0.1");

    // A certificate for `key`'s public half issued by this CA, as DER.
    Bytes Issue(EVP_PKEY* key, const std::string& commonName, long validDays = 30) const;
};

PkeyPtr GenerateRsaKey(int bits = 2048);
Bytes ToDer(const X509* cert);
X509Ptr FromDer(const Bytes& der);

}  // namespace qe::test
