#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "log/last_error.h"
#include "net/hosts.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

// How long a host name may take to resolve before the doctor stops waiting.
inline constexpr std::chrono::seconds kDnsTimeout{10};
// The resolver did not answer within kDnsTimeout.
inline constexpr int kDnsTimedOut = 1;

// One server role as the wizard would reach it.
struct HostProbe {
    std::string role;                          // "API host"
    std::string variable;                      // its environment override, "QUORVANE_API_HOST"
    bool rekey = false;                        // the host that asks for client certificates
    Endpoint endpoint;                         // what the wizard uses
    std::optional<std::string> overrideValue;  // the variable's value when it is set
    bool overrideUsed = false;                 // false also when the value is not host[:port]
    int dnsStatus = 0;                         // 0, an EAI_ code or kDnsTimedOut
    std::vector<std::string> addresses;
    std::string proxy;         // which way the wizard's client goes, and who said so
    long proxyStatus = 0;      // the proxy's answer to CONNECT, 0 when none was made
    std::string proxySchemes;  // what a proxy asking for a password offered
    bool tlsTried = false;
    ErrorId tlsResult = ERR_SUCCESS;  // of the wizard's HTTPS client sending GET /
    std::string tlsVersion;
    SystemError failure;         // what the client recorded when it failed
    std::vector<Bytes> caNames;  // rekey host: the CA names it asks client certificates from
};

// The three roles (API, rekey, data API), probed at the same time: resolution, then GET / with the
// wizard's HTTPS client and its trust settings, without a client certificate. The rekey host's
// certificate request is read for its CA names (into `caNames`).
std::vector<HostProbe> ProbeHosts();

// The host name's addresses (numeric, at most 8, in the resolver's order). Returns 0, an EAI_
// code, or kDnsTimedOut when the resolver has not answered within `timeout`.
int ResolveHost(const std::string& host, std::chrono::milliseconds timeout,
                std::vector<std::string>& addresses);

}  // namespace qe
