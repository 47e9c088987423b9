#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "toolkit/bytes.h"

namespace qe::sim {

// Builds the encrypted deliveries of the download: a CMS EnvelopedData (RFC 5652) in a
// ContentInfo, the content-encryption key sent with RSA PKCS #1 v1.5 key transport, the content
// encrypted with DES-EDE3-CBC under a fresh random key and IV.
//
// With the default options the message is laid out as the wizard reads it:
//   ContentInfo { envelopedData, [0] {
//     EnvelopedData { version 2, originatorInfo [0], recipientInfos SET { KeyTransRecipientInfo {
//         version 0, IssuerAndSerialNumber, { rsaEncryption, NULL }, encryptedKey } },
//       encryptedContentInfo { data, { des-ede3-cbc, IV }, [0] constructed { OCTET STRING ... } },
//       unprotectedAttrs [1] { Attribute { <type>, SET { OCTET STRING key identifier } } } } } }
// The options produce the structural variants a reader has to refuse or cope with.

// Whom a delivery is for: the RSA public key the content key is encrypted with, and the
// RecipientIdentifier written into the KeyTransRecipientInfo.
struct DeliveryRecipient {
    EVP_PKEY* publicKey = nullptr;  // not owned; must outlive BuildDelivery
    Bytes identifier;               // DER IssuerAndSerialNumber
};

// The recipient named by a certificate: its public key, its issuer and serial number.
// `certificate` must outlive the use of the result.
DeliveryRecipient RecipientFromCertificate(X509* certificate);

// A bare public key with an identifier chosen by the caller (for keys that have no certificate).
DeliveryRecipient RecipientFromKey(EVP_PKEY* publicKey, const X509_NAME* issuer,
                                   const ASN1_INTEGER* serial);

// The DER IssuerAndSerialNumber of an issuer name and a serial number.
Bytes IssuerAndSerialNumber(const X509_NAME* issuer, const ASN1_INTEGER* serial);

// The RSA modulus of a key, big-endian without leading zero octets; empty for a key that is not
// RSA.
Bytes RsaModulus(const EVP_PKEY* key);

struct DeliveryOptions {
    int envelopedDataVersion = 2;
    // Without it the EnvelopedData has four children instead of five.
    bool originatorInfo = true;
    // DER certificates carried in originatorInfo (certs [0]); none leaves it empty.
    std::vector<Bytes> originatorCertificates;
    int recipientInfoVersion = 0;
    // OCTET STRING segments of the constructed encryptedContent, at least 1; the ciphertext is cut
    // into this many nearly equal parts (more segments than octets gives empty ones).
    std::size_t segments = 1;
    // encryptedContent as a primitive [0] holding the ciphertext directly.
    bool primitiveContent = false;
    // The key identifier attribute; by default the recipient's modulus.
    std::optional<Bytes> keyIdentifier;
    // One zero octet put before the key identifier, as a modulus written as a signed INTEGER
    // would carry it.
    bool keyIdentifierLeadingZero = false;
};

// Encrypts `plaintext` for the recipient. Returns the whole message (DER, except that a
// constructed encryptedContent is BER), or nothing when the key cannot be used or a primitive
// fails. The content-encryption key is wiped before returning.
std::optional<Bytes> BuildDelivery(const Bytes& plaintext, const DeliveryRecipient& recipient,
                                   const DeliveryOptions& options = {});

}  // namespace qe::sim
