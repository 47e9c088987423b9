#pragma once

#include <cstdint>
#include <string>

namespace qe {

inline constexpr std::uint16_t kHttpsPort = 443;

// Where a server role is reached. The build fixes the host names; for tests and the demo the
// environment variables QUORVANE_API_HOST, QUORVANE_REKEY_HOST and QUORVANE_DATA_API_HOST override
// them with "host" or "host:port".
struct Endpoint {
    std::string host;
    std::uint16_t port = kHttpsPort;
};

Endpoint ApiHost();
Endpoint RekeyHost();
Endpoint DataApiHost();

// "https://" + data API host + "/rekey-addr": the page where a restricted token is re-keyed.
std::string RekeyAddress();

// The authority's renewal page, which the expiry reminder opens: the build's QUORVANE_RENEWAL_PAGE,
// or "https://" + data API host + "/reinnoire" when the build leaves it empty.
std::string RenewalPage();

// Parses "host" or "host:port" (port 1..65535); false when the text is not of that form.
bool ParseEndpoint(const std::string& text, Endpoint& out);

}  // namespace qe
