#include "net/hosts.h"

#include <charconv>
#include <cstdlib>

#ifndef QUORVANE_API_HOST
#error "QUORVANE_API_HOST must be defined by the build"
#endif

namespace qe {
namespace {

Endpoint Resolve(const char* variable, const char* builtIn) {
    Endpoint endpoint{builtIn, kHttpsPort};
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') {
        Endpoint fromEnvironment;
        if (ParseEndpoint(value, fromEnvironment)) {
            endpoint = fromEnvironment;
        }
    }
    return endpoint;
}

}  // namespace

bool ParseEndpoint(const std::string& text, Endpoint& out) {
    const auto colon = text.rfind(':');
    Endpoint endpoint;
    if (colon == std::string::npos) {
        endpoint.host = text;
    } else {
        endpoint.host = text.substr(0, colon);
        const char* first = text.data() + colon + 1;
        const char* last = text.data() + text.size();
        unsigned port = 0;
        const auto [end, ec] = std::from_chars(first, last, port);
        if (first == last || ec != std::errc() || end != last || port == 0 || port > 65535) {
            return false;
        }
        endpoint.port = static_cast<std::uint16_t>(port);
    }
    if (endpoint.host.empty() || endpoint.host.find_first_of("/?#@ \t\r\n") != std::string::npos) {
        return false;
    }
    out = endpoint;
    return true;
}

Endpoint ApiHost() {
    return Resolve("QUORVANE_API_HOST", QUORVANE_API_HOST);
}
Endpoint RekeyHost() {
    return Resolve("QUORVANE_REKEY_HOST", QUORVANE_REKEY_HOST);
}
Endpoint DataApiHost() {
    return Resolve("QUORVANE_DATA_API_HOST", QUORVANE_DATA_API_HOST);
}

// "https://" + data API host (with its port when not 443) + `path`.
static std::string DataAddress(const char* path) {
    const Endpoint data = DataApiHost();
    std::string address = "https://" + data.host;
    if (data.port != kHttpsPort) {
        address += ":" + std::to_string(data.port);
    }
    return address + path;
}

std::string RekeyAddress() {
    return DataAddress("/rekey-addr");
}

std::string RenewalPage() {
    const std::string page = QUORVANE_RENEWAL_PAGE;
    return page.empty() ? DataAddress("/reinnoire") : page;
}

}  // namespace qe
