#pragma once

#include <functional>

#include "request/alt_names.h"
#include "request/subject_fields.h"
#include "toolkit/bytes.h"
#include "toolkit/digest_info.h"
#include "toolkit/openssl_ptr.h"

namespace qe {

// Signs a DigestInfo (SHA-256) with the request's private key, which never leaves the token:
// returns 0 with the PKCS#1 v1.5 signature, or a non-zero code.
using DigestInfoSigner = std::function<int(const Bytes& digestInfo, Bytes& signature)>;

// Everything a request is made of besides its signature.
struct RequestContent {
    SubjectFields subject;
    const RequestedExtensions* extensions = nullptr;  // none: no extension request
    Bytes modulus;                                    // big-endian, as the token gives it
    Bytes publicExponent;
};

// The DER of a PKCS#10 request: version 0, the subject, the RSA public key, the extension request
// when asked for, sha256WithRSAEncryption with NULL parameters, signed through `sign` over the
// SHA-256 DigestInfo of the DER CertificationRequestInfo. Returns 0; a subject refusal (see
// BuildSubjectName); the signer's code; kToolkitEncodeError or kToolkitNoMemory.
int BuildCertificationRequest(const RequestContent& content, const DigestInfoSigner& sign,
                              Bytes& der);

}  // namespace qe
