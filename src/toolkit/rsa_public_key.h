#pragma once

#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe {

// An OpenSSL public key from an RSA modulus and public exponent (unsigned big-endian, as a token
// gives them); null when they do not make a key. Built as a SubjectPublicKeyInfo and decoded, a
// path that works whatever engines the process's OpenSSL configuration loaded.
PkeyPtr RsaPublicKey(const Bytes& modulus, const Bytes& exponent);

}  // namespace qe
