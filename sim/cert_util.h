#pragma once

#include <string>
#include <string_view>

#include <openssl/x509.h>

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe::sim {

using Asn1IntegerPtr = OpenSslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;

// The content octets of the DER INTEGER, a leading zero octet included when the encoding has one.
Bytes SerialOctets(const ASN1_INTEGER* serial);

// A certificate's serial number as the wizard writes it: two lower-case hexadecimal digits per
// content octet of the DER INTEGER, most significant first.
std::string SerialHex(const X509* certificate);

// Whether the text is a non-empty string of hexadecimal digits of even length (a serial number as
// it may arrive from outside).
bool IsSerialHex(std::string_view text);

std::string CertificatePem(X509* certificate);
Bytes CertificateDer(X509* certificate);
// Nothing when the text or bytes are not exactly one certificate.
X509Ptr CertificateFromPem(std::string_view pem);
X509Ptr CertificateFromDer(const Bytes& der);

std::string PrivateKeyPem(EVP_PKEY* key);
PkeyPtr PrivateKeyFromPem(std::string_view pem);

// The value of the last commonName, UTF-8; empty when there is none.
std::string CommonName(const X509_NAME* name);

// The name on one line, as "C=RO, O=…, CN=…", UTF-8.
std::string NameLine(const X509_NAME* name);

// The time as "dd.mm.yyyy" (UTC).
std::string DateText(const ASN1_TIME* time);

// The OpenSSL error queue as one line of text, emptying it.
std::string TakeOpenSslErrors();

}  // namespace qe::sim
