#pragma once

#include "toolkit/bytes.h"

namespace qe {

// The DER DigestInfo of the SHA-256 digest of `data`: what a PKCS#1 v1.5 signature covers, and
// what a token that only pads (CKM_RSA_PKCS) is given to sign.
Bytes Sha256DigestInfo(const Bytes& data);

}  // namespace qe
