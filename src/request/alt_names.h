#pragma once

#include <optional>
#include <string>

#include <openssl/x509.h>

#include "toolkit/bytes.h"

namespace qe {

inline constexpr const char* kUpnOid = "1.3.6.1.4.1.311.20.2.3";
inline constexpr const char* kObjectGuidOid = "1.3.6.1.4.1.311.25.1";

// The subject alternative names a renewal repeats.
struct AltNames {
    std::optional<std::string> otherNameOid;  // dotted
    Bytes otherNameValue;                     // the encoded value as the certificate holds it
    std::string rfc822Names;                  // several separated by ";"
    std::string dnsNames;                     // several separated by ";"
    bool critical = false;

    bool Empty() const { return !otherNameOid && rfc822Names.empty() && dnsNames.empty(); }
};

// The extensions a request asks for: only the alternative names.
struct RequestedExtensions {
    AltNames altNames;
};

// Adds the PKCS#9 extensionRequest attribute holding a subjectAltName built from `names`: the
// otherName (a user principal name as it is; 1.3.6.1.4.1.311.25.1 wrapped in an OCTET STRING;
// any other OID left out), then each rfc822 name, then each DNS name. A record that yields no
// name adds nothing: an empty subjectAltName is not valid and peers refuse it. Returns 0,
// kToolkitDecodeError (an otherName value that is not DER) or kToolkitNoMemory.
int AddSubjectAltNameRequest(X509_REQ* request, const AltNames& names);

}  // namespace qe
