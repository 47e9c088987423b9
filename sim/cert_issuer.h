#pragma once

#include <string>
#include <utility>
#include <vector>

#include <openssl/x509v3.h>

#include "sim/cert_util.h"
#include "sim/pki.h"

namespace qe::sim {

// A fresh serial number: 16 random octets, the first not zero, read as a positive number (so the
// DER INTEGER has 17 content octets, a leading zero, whenever the top bit is set).
Asn1IntegerPtr FreshSerial();

struct CertificateSpec {
    const X509_NAME* subject = nullptr;
    EVP_PKEY* publicKey = nullptr;
    X509* issuer = nullptr;  // nothing: self-signed
    EVP_PKEY* signingKey = nullptr;
    long validDays = 365;
    // Extensions in OpenSSL's configuration syntax, e.g. {NID_basic_constraints,
    // "critical,CA:TRUE"}.
    std::vector<std::pair<int, std::string>> extensions;
    // Copied as the subjectAltName extension when it holds at least one name.
    const GENERAL_NAMES* altNames = nullptr;
};

// A version 3 certificate with a fresh serial, signed with SHA-256; nothing when OpenSSL refuses
// a part of it.
X509Ptr MakeCertificate(const CertificateSpec& spec);

// A customer's certificate from the issuing CA: the subject and alternative names given, valid
// for a year, for signing, non-repudiation and key transport.
X509Ptr IssueCustomerCertificate(const Pki& pki, const X509_NAME* subject, EVP_PKEY* publicKey,
                                 const GENERAL_NAMES* altNames);

}  // namespace qe::sim
