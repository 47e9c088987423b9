#pragma once

#include <vector>

#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe {

// A certificate as the token holds it, with the key behind it reachable on the same token: the
// DER, the token it lives on, and its CKA_ID (the first try when looking for its private key;
// the modulus is the second).
struct TokenCertificate {
    Bytes der;
    zel_token token;
    Bytes id;
};

// The certificate store of the selected token: its X.509 certificate objects in the order
// C_FindObjects returns them, read in a read-only session without login. Returns 0 with `store`
// replaced, or 8 (device error) on any failure with `store` left as it was; when no token can be
// reached the thread's last error is the "no smart card" code.
int GetSmartCardStore(TokenStep& step, const zel_token& token,
                      std::vector<TokenCertificate>& store);

// The same read in a logged-in session, for tokens that show their certificates only after a
// login. Returns 0 with `store` replaced, or the cycle's CK_RV (160 for a wrong PIN).
CK_RV ReadStoreLoggedIn(TokenStep& step, const zel_token& token, const Secret& pin,
                        std::vector<TokenCertificate>& store);

// The same for the one token SelectToken finds; 8 also when there is none or more than one.
int GetSmartCardStore(TokenStep& step, std::vector<TokenCertificate>& store);

}  // namespace qe
