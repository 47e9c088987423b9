#pragma once

#include <optional>
#include <string>

#include "toolkit/openssl_ptr.h"

namespace qe::sim {

// The authority's own keys and certificates: a root CA, the qualified issuing CA below it (the
// issuer of customers' certificates and the client-certificate CA of the rekey host) and the TLS
// certificate of the servers, signed by the root.
struct Pki {
    X509Ptr rootCa;
    PkeyPtr rootKey;
    X509Ptr issuingCa;
    PkeyPtr issuingKey;
    X509Ptr tlsCertificate;
    PkeyPtr tlsKey;
    // PEM of the root CA, for SSL_CERT_FILE of clients.
    std::string caBundlePath;
};

// Loads the authority from `stateDir`/pki, creating on first use whatever is missing. The TLS
// certificate is valid for localhost, 127.0.0.1 and ::1, and for `bindHost` too when that is an
// address or name of its own; a stored one that does not cover `bindHost` is replaced. Processes
// sharing the directory take a lock on it while they look. Nothing, with `error` set, when the
// directory cannot be used or a stored file is damaged.
std::optional<Pki> LoadOrCreatePki(const std::string& stateDir, const std::string& bindHost,
                                   std::string& error);

}  // namespace qe::sim
