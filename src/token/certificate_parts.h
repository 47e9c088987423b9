#pragma once

#include <string>
#include <string_view>

#include "toolkit/bytes.h"

namespace qe {

// What writing a certificate to a token takes from the certificate.
struct CertificateParts {
    Bytes subject;    // subject Name, DER
    Bytes issuer;     // issuer Name, DER
    Bytes serialDer;  // the serial number as a DER INTEGER (CKA_SERIAL_NUMBER)
    Bytes modulus;    // RSA modulus, unsigned big-endian without leading zero octets
    // The last commonName's value bytes as encoded, or "Quorvane" when there is none or it is
    // empty.
    std::string label;
};

inline constexpr const char* kDefaultObjectLabel = "Quorvane";

// Parses an X.509 certificate with an RSA key (the whole buffer, nothing after it). Returns 0, or
// kToolkitDecodeError when it is not such a certificate.
int ParseCertificateParts(const Bytes& der, CertificateParts& parts);

// The key identifier of a key pair: SHA-1 over the modulus (20 bytes); for a library whose file
// name contains "OCSCryptoki" or "ocscryptoki", the 40 upper-case hexadecimal characters of that
// hash instead.
Bytes ComputeKeyId(const Bytes& modulus, std::string_view modulePath);

}  // namespace qe
