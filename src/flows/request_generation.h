#pragma once

#include <vector>

#include "flows/step_context.h"
#include "flows/window_port.h"
#include "toolkit/error_id.h"

namespace qe {

// The register command: selects the token and the authenticating certificate (asking the user
// when the renewable store does not hold exactly one), reads the key-generation parameters (and,
// when the status check asked for it, the subject fields) from the rekey host with that
// certificate as TLS client certificate, refuses restricted tokens, generates the key pair and the
// request on the token and uploads it. Returns 0 when the server accepted the request, otherwise
// the identifier of the failing step (1 when the user gave no PIN).
ErrorId RequestGeneration(StepContext& step, WindowPort& port,
                          const std::vector<TokenCertificate>& renewableStore);

}  // namespace qe
