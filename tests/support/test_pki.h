#pragma once

#include <string>
#include <vector>

#include <openssl/x509.h>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/rsa_public_key.h"

namespace qe::test {

using qe::RsaPublicKey;

// One subject attribute: short name or dotted OID, value, ASN.1 type (MBSTRING_UTF8 leaves the
// choice to the attribute's rules: PrintableString for C; an empty value becomes an empty
// UTF8String), and -1 in `set` to join the previous RDN.
struct NameEntry {
    std::string field;
    std::string value;
    int type = MBSTRING_UTF8;
    int set = 0;
};
using SubjectEntries = std::vector<NameEntry>;

struct CertContent {
    SubjectEntries subject;
    // OpenSSL's configuration form: "DNS:a,email:b,otherName:OID;UTF8:c"
    std::string altNames = {};
    long days = 30;             // below zero: expired
    Bytes serial = {};          // unsigned big-endian; empty: the next of a running count
    long backdate = 60;         // seconds before now the certificate becomes valid
    std::string keyUsage = {};  // configuration form too: "digitalSignature,DER:05:00"
    std::string extendedKeyUsage = {};
};

// A certificate for `key` as DER, issued by `issuer` with `issuerKey`, or self-signed.
// Throws std::runtime_error when OpenSSL fails.
Bytes MakeCertificate(const CertContent& content, EVP_PKEY* key, const X509* issuer = nullptr,
                      EVP_PKEY* issuerKey = nullptr);

// A software certification authority that issues X.509 certificates for keys kept on a token.
class TestCa {
public:
    explicit TestCa(const std::string& commonName = "Quorvane Test CA");

    // A certificate for the public key, with this subject and serial number (unsigned
    // big-endian bytes), valid from an hour ago for a year, SHA-256 with the CA's key.
    Bytes Issue(const Bytes& modulus, const Bytes& exponent, const SubjectEntries& subject,
                const Bytes& serial) const {
        return Issue(RsaPublicKey(modulus, exponent).get(), subject, serial);
    }
    // The same for any public key.
    Bytes Issue(EVP_PKEY* key, const SubjectEntries& subject, const Bytes& serial) const {
        return MakeCertificate({subject, {}, 365, serial, 3600}, key, certificate_.get(),
                               key_.get());
    }

    const Bytes& der() const { return der_; }
    EVP_PKEY* key() const { return key_.get(); }

private:
    PkeyPtr key_;
    Bytes der_;
    X509Ptr certificate_;
};

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
// A number of a key ("n", "e") as unsigned big-endian bytes.
Bytes KeyPart(const EVP_PKEY* key, const char* name);
// The request in a PEM text, or null; its subject in one line, "/C=RO/CN=...", in encoded order.
X509ReqPtr ParseRequestPem(const std::string& pem);
std::string SubjectLine(const X509_REQ* request);
// One key for every certificate of the program that needs no key of its own.
EVP_PKEY* SharedKey();
X509Ptr FromDer(const Bytes& der);

}  // namespace qe::test
