#pragma once

#include <string>
#include <utility>
#include <vector>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::test {

// One subject attribute: OID (dotted) or short name, value, ASN.1 string type.
struct NameEntry {
    std::string field;
    std::string value;
    int type;
};

struct CertSpec {
    std::vector<NameEntry> subject;
    std::vector<std::string> dnsNames;
    std::vector<std::string> emails;
    std::string upn;  // otherName 1.3.6.1.4.1.311.20.2.3 as UTF8String when not empty
    bool withSan = true;
};

// A fresh 2048-bit software RSA key (tests only).
PkeyPtr MakeRsaKey(int bits = 2048);

// A self-signed certificate for `key` as DER.
Bytes MakeCertificate(const CertSpec& spec, EVP_PKEY* key);

}  // namespace qe::test
