#include "net/hosts.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qe {
namespace {

TEST(Hosts, EnvironmentOverridesWithOptionalPort) {
    setenv("QUORVANE_API_HOST", "127.0.0.1:8443", 1);
    EXPECT_EQ(ApiHost().host, "127.0.0.1");
    EXPECT_EQ(ApiHost().port, 8443);
    setenv("QUORVANE_REKEY_HOST", "localhost", 1);
    EXPECT_EQ(RekeyHost().host, "localhost");
    EXPECT_EQ(RekeyHost().port, 443);
    setenv("QUORVANE_DATA_API_HOST", "localhost:9", 1);
    EXPECT_EQ(RekeyAddress(), "https://localhost:9/rekey-addr");

    // A malformed override keeps the built-in host.
    unsetenv("QUORVANE_API_HOST");
    const std::string builtIn = ApiHost().host;
    setenv("QUORVANE_API_HOST", "localhost:99999", 1);
    EXPECT_EQ(ApiHost().host, builtIn);
    setenv("QUORVANE_API_HOST", "evil/path", 1);
    EXPECT_EQ(ApiHost().host, builtIn);
    EXPECT_EQ(ApiHost().port, 443);
}

}  // namespace
}  // namespace qe
