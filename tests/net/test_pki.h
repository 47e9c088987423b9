#pragma once

#include <string>
#include <vector>

#include <openssl/x509.h>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

// One subject attribute: short name or dotted OID, value, ASN.1 type (MBSTRING_UTF8 leaves the
// choice to the attribute's rules: PrintableString for C), and -1 in `set` to join the previous
// RDN.
struct NameEntry {
    std::string field;
    std::string value;
    int type = MBSTRING_UTF8;
    int set = 0;
};

struct CertContent {
    std::vector<NameEntry> subject;
    std::string altNames =
        {};          // OpenSSL's configuration form: "DNS:a,email:b,otherName:OID;UTF8:c"
    long days = 30;  // below zero: expired
};

// A certificate for `key` as DER, issued by `issuer` with `issuerKey`, or self-signed.
Bytes MakeCertificate(const CertContent& content, EVP_PKEY* key, const X509* issuer = nullptr,
                      EVP_PKEY* issuerKey = nullptr);

// A throw-away CA with a TLS server certificate, written to `dir` (ca.pem is what SSL_CERT_FILE
// points at).
struct TestPki {
    PkeyPtr caKey;
    X509Ptr caCert;
    PkeyPtr serverKey;
    X509Ptr serverCert;
    std::string caFile;

    static TestPki Create(const std::string& dir, const std::string& caName = "Test Root CA",
                          long serverValidDays = 30,
                          const char* serverNames = "DNS:localhost,IP:127.0.0.1");

    // A client certificate for `key` issued by this CA, as DER.
    Bytes Issue(EVP_PKEY* key, const std::string& commonName) const {
        return MakeCertificate({{{"CN", commonName}}}, key, caCert.get(), caKey.get());
    }
};

PkeyPtr GenerateRsaKey(int bits = 2048);
// One key for every certificate of the program that needs no key of its own.
EVP_PKEY* SharedKey();
X509Ptr FromDer(const Bytes& der);

}  // namespace qe::test
