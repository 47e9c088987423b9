#pragma once

#include <functional>

#include "toolkit/bytes.h"

namespace qe {

// Result codes of opening a delivery, beside 0 and the token's own codes.
inline constexpr int kDeliveryNoMemory = 1792;
inline constexpr int kDeliveryKeyNotUnique = 1795;  // signing: no key with that modulus, or several
inline constexpr int kDeliveryMalformed = 1797;     // not the structure of a delivery
inline constexpr int kDeliveryOutputNotEmpty = 1799;
inline constexpr int kDeliveryNoKey = 1800;  // no token, or (decryption) no unique key

// The key identifier of a delivery (CMS EnvelopedData): the recipient's RSA modulus carried in
// the first unprotected attribute. Returns 0, kDeliveryMalformed, or kToolkitDecodeError for an
// element that cannot be decoded. An identifier of zero octets only is malformed.
int GetEnvelopeKeyId(const Bytes& message, Bytes& keyId);

// The token operations a delivery needs, each by the key's modulus (`keyId`).
struct EnvelopeKeyOperations {
    // RSA PKCS#1 v1.5 decryption of the content-encryption key.
    std::function<int(const Bytes& keyId, const Bytes& input, Bytes& output)> decrypt;
    // SHA-256 with RSA PKCS#1 v1.5 signature of the plaintext.
    std::function<int(const Bytes& keyId, const Bytes& input, Bytes& output)> sign;
};

// Checks the whole structure, has the token decrypt the content-encryption key, decrypts the
// content (triple DES in CBC mode) and, with `sign`, has the token sign the plaintext. Returns 0
// with `result` replaced (the plaintext, or the signature); kDeliveryMalformed for any structural
// deviation (also a key that is not 24 bytes or an IV that is not 8, or a primitive content);
// the token operation's code; a toolkit code from decoding or decryption. Every buffer that held
// key material, ciphertext or plaintext is wiped.
int OpenEnvelopeWith(const Bytes& message, bool sign, const EnvelopeKeyOperations& token,
                     Bytes& result);

}  // namespace qe
