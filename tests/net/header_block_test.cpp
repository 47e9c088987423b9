#include "net/header_block.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(HeaderBlock, TokenHashForm) {
    EXPECT_EQ(HeaderBlockStart() + TokenHashLine("0123456789abcdef0123456789abcdef01234567"),
              L"ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO\n"
              L"TOKEN_HASH: 0123456789abcdef0123456789abcdef01234567\n");
}

TEST(HeaderBlock, TokenDescriptionFormHasNoFinalLineFeed) {
    const auto block = TokenDescriptionBlock("A1B2", "Acme", "Key2", "Acme Key \xC8\x98");
    ASSERT_TRUE(block);
    EXPECT_EQ(*block,
              L"ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO\nTOKEN_SERIAL: A1B2\n"
              L"TOKEN_MANUFACTURER: Acme\nTOKEN_MODEL: Key2\nTOKEN_PRODUCT_NAME: Acme Key \u0218");
}

TEST(HeaderBlock, ValuesThatWouldBreakTheHeadersAreRefused) {
    EXPECT_FALSE(TokenDescriptionBlock("A1", "Acme\nX-Injected: 1", "M", "P"));
    EXPECT_FALSE(TokenDescriptionBlock("A1", "Acme", "M", "P\r"));
    EXPECT_FALSE(TokenDescriptionBlock("\xC3", "Acme", "M", "P"));
}

}  // namespace
}  // namespace qe
