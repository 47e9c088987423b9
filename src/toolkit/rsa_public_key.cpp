#include "toolkit/rsa_public_key.h"

#include <openssl/x509.h>

#include "toolkit/der.h"

namespace qe {

PkeyPtr RsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
    Bytes rsaKey = DerUnsignedInteger(modulus);
    const Bytes e = DerUnsignedInteger(exponent);
    rsaKey.insert(rsaKey.end(), e.begin(), e.end());
    Bytes bits{0x00};  // no unused bits
    const Bytes sequence = DerEncode(0x30, rsaKey);
    bits.insert(bits.end(), sequence.begin(), sequence.end());
    // SubjectPublicKeyInfo ::= SEQUENCE { { rsaEncryption, NULL }, BIT STRING }
    Bytes info = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                  0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    const Bytes bitString = DerEncode(0x03, bits);
    info.insert(info.end(), bitString.begin(), bitString.end());
    const Bytes spki = DerEncode(0x30, info);
    const unsigned char* p = spki.data();
    return PkeyPtr(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

}  // namespace qe
