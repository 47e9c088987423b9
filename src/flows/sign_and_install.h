#pragma once

#include "flows/step_context.h"
#include "flows/window_port.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

// The second half of the download command, after the customer accepted: the token signs the
// declaration and the signature goes to the server, the new certificate is written to the token
// (only when a private key of the token matches it), the old certificate is removed when asked,
// and the server is told of the installation. Returns 0, or the identifier of the failing step.
ErrorId SignAndInstall(StepContext& step, WindowPort& port, const Bytes& certificate,
                       bool removeOldCertificate);

// What a failed certificate installation tells the customer: 13 wrong PIN, 2 token gone, 15 token
// full, 8 otherwise.
ErrorId InstallResultToErrorId(unsigned long result);

}  // namespace qe
