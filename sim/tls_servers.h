#pragma once

#include <memory>

#include <httplib.h>

#include "sim/network_faults.h"
#include "sim/pki.h"

namespace qe::sim {

// The API host: TLS 1.2 or 1.3 with the authority's server certificate, no client certificate.
// Nothing when the TLS context cannot be set up.
// Each connection's handshake is numbered by `network`, which may refuse it.
std::unique_ptr<httplib::SSLServer> MakeApiServer(const Pki& pki, NetworkFaults& network);

// The rekey host: like the API host, but every handshake must present a client certificate that
// chains to the issuing CA, whose name is sent as the only acceptable CA. Any other certificate
// is refused with the alert certificate_unknown. Sessions are never resumed, so every connection
// asks for the certificate again.
std::unique_ptr<httplib::SSLServer> MakeRekeyServer(const Pki& pki, NetworkFaults& network);

}  // namespace qe::sim
