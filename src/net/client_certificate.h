#pragma once

#include "toolkit/bytes.h"

namespace qe {

// A TLS client certificate whose private key lives elsewhere (on the token): the handshake asks
// it for the one signature it needs. Implementations run their own self-contained token cycle.
class ClientCertificate {
public:
    virtual ~ClientCertificate() = default;

    virtual const Bytes& CertificateDer() const = 0;

    // Called before the connection that will present the certificate: whatever needs the user
    // (the PIN) happens here, so that no network time-out runs while the user types. Returns 0,
    // or non-zero when the user cancelled.
    virtual int Prepare() { return 0; }

    // Whether the key can make a raw RSA signature of an already-padded block (CKM_RSA_X_509 or
    // equivalent); RSA-PSS, and so TLS 1.3, needs it. Without it the connection keeps to
    // PKCS#1 v1.5 signatures and TLS 1.2.
    virtual bool CanSignRaw() = 0;

    // RSA private operation on a block that is already padded (as long as the modulus).
    // Returns 0 with the signature, or the token's CK_RV.
    virtual int SignRaw(const Bytes& block, Bytes& signature) = 0;
    // PKCS#1 v1.5 signature of a DigestInfo. Returns 0 with the signature, or the token's CK_RV.
    virtual int SignDigestInfo(const Bytes& digestInfo, Bytes& signature) = 0;

    // After a failed signature: whether the user cancelled the PIN dialog (a silent stop).
    virtual bool Cancelled() const = 0;
};

}  // namespace qe
