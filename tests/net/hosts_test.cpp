#include "net/hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qe {
namespace {

TEST(Hosts, EndpointIsAHostWithAnOptionalPortFrom1To65535) {
    // Each text, and "host:port" of what it gives; a text refused leaves the endpoint as it was.
    for (const std::string text : {"127.0.0.1:1", "h:65535", "h:65536", "h:0", "h:", "h:8a", "h:-1",
                                   ":443", "", "evil/path", "a@b", "a b:1", "a?b"}) {
        const bool ok = text == "127.0.0.1:1" || text == "h:65535";
        Endpoint endpoint{"unchanged", 7};
        EXPECT_EQ(ParseEndpoint(text, endpoint), ok) << text;
        EXPECT_EQ(endpoint.host + ":" + std::to_string(endpoint.port), ok ? text : "unchanged:7");
    }
}

TEST(Hosts, AnOverrideWithoutAPortTakes443AndAMalformedOneIsIgnored) {
    const auto text = [](const Endpoint& e) { return e.host + ":" + std::to_string(e.port); };
    const std::string builtIn = ApiHost().host;
    setenv("QUORVANE_REKEY_HOST", "rekey", 1);
    EXPECT_EQ(text(RekeyHost()), "rekey:443");
    setenv("QUORVANE_API_HOST", "localhost:99999", 1);
    EXPECT_EQ(text(ApiHost()), builtIn + ":443");
}

}  // namespace
}  // namespace qe
