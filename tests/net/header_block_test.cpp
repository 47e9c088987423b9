#include "net/header_block.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(HeaderBlock, TokenDescriptionFormHasNoFinalLineFeed) {
    EXPECT_EQ(TokenDescriptionBlock("A1B2", "Acme", "", "Acme Key~ \xC8\x98"),
              L"ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO\nTOKEN_SERIAL: A1B2\n"
              L"TOKEN_MANUFACTURER: Acme\nTOKEN_MODEL: \nTOKEN_PRODUCT_NAME: Acme Key~ \u0218");
}

TEST(HeaderBlock, ValuesThatWouldBreakTheHeadersAreRefused) {
    for (const char* bad : {"\n", "\r", "\t", "\x1F", "\x7F", "\xC3"}) {
        const std::string value = std::string("A") + bad;
        EXPECT_FALSE(TokenDescriptionBlock(value, "M", "M", "P")) << int(bad[0]);
        EXPECT_FALSE(TokenDescriptionBlock("A", value, "M", "P")) << int(bad[0]);
        EXPECT_FALSE(TokenDescriptionBlock("A", "M", value, "P")) << int(bad[0]);
        EXPECT_FALSE(TokenDescriptionBlock("A", "M", "M", value)) << int(bad[0]);
    }
}

}  // namespace
}  // namespace qe
