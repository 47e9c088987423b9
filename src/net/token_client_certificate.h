#pragma once

#include <optional>

#include "net/client_certificate.h"
#include "token/pin_port.h"
#include "token/token_certificate.h"
#include "token/token_step.h"

namespace qe {

// A certificate of the customer's token presented as TLS client certificate. Each signature is
// one self-contained token cycle (load, log in, sign, log out, unload) with the key found by the
// certificate's public key (its modulus), never by identifier; a login already in place (a
// step holding the token open) is used as it is. The PIN comes from the window the first time it
// is needed; a PIN the token refuses is forgotten so the next attempt asks again. The handshake's
// signing callback finds the object through the TLS key's ex-data, and the step through it.
class TokenClientCertificate final : public ClientCertificate {
public:
    TokenClientCertificate(TokenStep& step, TokenCertificate certificate, PinPort& pins);

    const Bytes& CertificateDer() const override { return certificate_.der; }
    // Asks for the PIN when none is cached.
    int Prepare() override;
    // Whether the token offers raw RSA signatures (CKM_RSA_X_509); asked once.
    bool CanSignRaw() override;
    int SignRaw(const Bytes& block, Bytes& signature) override;
    int SignDigestInfo(const Bytes& digestInfo, Bytes& signature) override;
    bool Cancelled() const override { return cancelled_; }

private:
    int Sign(unsigned long mechanism, const Bytes& input, Bytes& signature);

    TokenStep& step_;
    TokenCertificate certificate_;
    Bytes modulus_;
    PinPort& pins_;
    std::optional<bool> canSignRaw_;
    bool cancelled_ = false;
};

}  // namespace qe
