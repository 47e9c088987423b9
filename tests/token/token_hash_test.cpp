#include "token/token_hash.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

void Fill(char* field, std::size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

zel_token Record(const std::string& serial, const std::string& manufacturer,
                 const std::string& model) {
    zel_token token;
    Fill(token.serialNumber, sizeof token.serialNumber, serial);
    Fill(token.manufacturerID, sizeof token.manufacturerID, manufacturer);
    Fill(token.model, sizeof token.model, model);
    Fill(token.label, sizeof token.label, "Label With Blanks");
    return token;
}

// SHA-1 of "ABCDEF0123456789" "Acme" "Model".
constexpr const char* kAcmeHash = "5706241d9f50372c78e907c1e315645a808208a3";

TEST(TokenHashTest, FieldsCountUpToTheirFirstBlank) {
    std::wstring line;
    ASSERT_EQ(GetTokenHash(Record("ABCDEF0123456789", "Acme Tokens Ltd", "Model 7 Beta"), line), 0);
    EXPECT_EQ(line, L"TOKEN_HASH: " + std::wstring(kAcmeHash, kAcmeHash + 40) + L"\n");
    EXPECT_EQ(CurrentTokenHash(), kAcmeHash);

    // Differences after the first blank do not count.
    std::wstring other;
    ASSERT_EQ(GetTokenHash(Record("ABCDEF0123456789", "Acme Other", "Model 9"), other), 0);
    EXPECT_EQ(other, line);
}

TEST(TokenHashTest, FieldStartingWithABlankIsEmpty) {
    std::wstring line;
    ASSERT_EQ(GetTokenHash(Record("0123456789ABCDEF", "", " Model"), line), 0);
    EXPECT_EQ(CurrentTokenHash(), "ce27cb141098feb00714e758646be3e99c185b71");
}

}  // namespace
}  // namespace qe
