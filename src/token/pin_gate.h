#pragma once

#include <p11-kit/pkcs11.h>

#include <vector>

#include "token/pin_port.h"
#include "token/token_certificate.h"
#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/secret.h"

namespace qe {

// The worker-side gate before a token operation that needs the PIN. When the token already has
// a logged-in read-write user session it logs "PIN dialog not shown: already logged in" and
// returns 0 with the PIN the run already has, if any (the operation's login then finds the login
// in place). Otherwise it goes through PinReady and hands back the cached PIN
// (empty for a token that takes it on the reader): 0, or 1 when the customer cancelled.
// A failing login test returns its CK_RV.
CK_RV AcquirePin(TokenStep& step, PinPort& port, const zel_token& token, Secret& pin);

// Whether the token operations may go on: a token that takes the PIN on its reader is never
// asked; for a typed PIN the window is asked when none is cached (blocking this worker; the
// dialog warns from PinDialogFlags). False only when the customer cancelled the dialog.
bool PinReady(TokenStep& step, PinPort& port, const zel_token& token);

// The short form of the download and installation flows and of the TLS client certificate: the
// PIN the logins take after PinReady. Empty when the reader takes the PIN, and when the customer
// cancelled (which only PinReady tells). No login test. The cached PIN serves only the token it
// was typed for (library, serial number and label, and the certificates it showed, read once a
// step): for another the customer is asked again.
Secret ObtainPin(TokenStep& step, PinPort& port, const zel_token& token);

// The status check's look at the token's certificates (`store`, read without a login): a PIN
// typed for a token with the same library, serial number and label but other certificates is
// forgotten.
void NoteCertificates(PinPort& port, const zel_token& token,
                      const std::vector<TokenCertificate>& store);

// The flags the PIN dialog is asked with: the PIN-count flags (CKF_USER_PIN_COUNT_LOW,
// _FINAL_TRY, _LOCKED) the token showed when it was listed for this command; kPinTriesUnknown
// when it showed none of them although `step` saw a PIN refused since one was last accepted.
CK_FLAGS PinDialogFlags(const TokenStep& step, const zel_token& token);

}  // namespace qe
