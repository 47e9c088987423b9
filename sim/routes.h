#pragma once

#include <string>

#include <httplib.h>

#include "sim/sim_context.h"

namespace qe::sim {

// The API host: the status call and the deliveries of the download, the signature and the
// installation confirmation, every request identified by its token-hash header block.
void AddApiRoutes(httplib::Server& server, SimContext& context);

// The status text of the API host when the scenario gives none.
std::string DefaultStatusText(bool installPending, bool renewable, bool installed);

// The rekey host: "/" and the request-generation calls, identified by the token-description
// header block and the TLS client certificate.
void AddRekeyRoutes(httplib::Server& server, SimContext& context);

// The control listener for tests and the demo: GET /control/state, GET and POST
// /control/scenario.
void AddControlRoutes(httplib::Server& server, SimContext& context);

}  // namespace qe::sim
