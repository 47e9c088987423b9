#pragma once

#include <ctime>
#include <vector>

#include "flows/step_context.h"
#include "flows/window_port.h"
#include "toolkit/error_id.h"

namespace qe {

// Asks the authority what the customer may do now: selects the token, refreshes the token hash,
// reads the token's certificates, learns (once per process) which issuers the rekey host
// accepts, and asks the API for the status of the certificates from those issuers. Fills
// `outcome` (status text, the two flags, the renewable certificates) as far as it gets; the
// fields it does not reach keep their values. Returns 0, 6 or 2 for the token, 8 for its
// certificates, or the client's identifier.
ErrorId StatusCheck(StepContext& step, WindowPort& port, StatusOutcome& outcome);

// Keeps in the renewable store only the certificates within their dates at `now` (the rest could
// not log in), and when none of the authority's certificates on the token is, notes why: the
// clock when one is not yet valid, else the expiry of one (the clock again when by the authority's
// clock, `outcome.authorityClockOffset`, one is still current).
void ApplyCertificateDates(StatusOutcome& outcome, const std::vector<Bytes>& authorityCertificates,
                           std::time_t now);

// After a successful status check: presses the button the launch link asks for when the status
// allows it, then forgets the link, so a link acts at most once per run.
void RouteLaunchLink(WindowPort& port, const StatusOutcome& outcome);

}  // namespace qe
