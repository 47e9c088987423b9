#include "net/hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qe {
namespace {

TEST(Hosts, EndpointIsAHostWithAnOptionalPortFrom1To65535) {
    const struct {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    } cases[] = {
        {"127.0.0.1:1", true, "127.0.0.1", 1},
        {"h:65535", true, "h", 65535},
        {"h:65536", false, "", 0},
        {"h:0", false, "", 0},
        {"h:", false, "", 0},
        {"h:8a", false, "", 0},
        {"h:-1", false, "", 0},
        {":443", false, "", 0},
        {"", false, "", 0},
        {"evil/path", false, "", 0},
        {"a@b", false, "", 0},
        {"a b:1", false, "", 0},
        {"a?b", false, "", 0},
    };
    for (const auto& c : cases) {
        Endpoint endpoint{"unchanged", 7};
        EXPECT_EQ(ParseEndpoint(c.text, endpoint), c.ok) << c.text;
        EXPECT_EQ(endpoint.host, c.ok ? c.host : "unchanged") << c.text;
        EXPECT_EQ(endpoint.port, c.ok ? c.port : 7) << c.text;
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
