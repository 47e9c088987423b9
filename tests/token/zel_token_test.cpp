// The token record, the names of PKCS#11 results, and the token hash.
#include "token/zel_token.h"

#include <gtest/gtest.h>

#include <cstring>

#include "log/last_error.h"
#include "token/pkcs11_call.h"
#include "token/token_hash.h"

namespace qe {
namespace {

template <std::size_t N>
void Fill(unsigned char (&field)[N], const std::string& text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

TEST(ZelTokenTest, RecordTextStopsAtTheFirstBlankAndTheSerialIsAllSixteenBytes) {
    CK_SLOT_INFO slot{};
    CK_TOKEN_INFO info{};
    Fill(slot.slotDescription, "Reader 0");
    Fill(info.serialNumber, "0123456789ABCDEF");
    Fill(info.label, "My Token");
    Fill(info.manufacturerID, "Acme Tokens Ltd");
    Fill(info.model, " Model");
    info.flags = CKF_USER_PIN_COUNT_LOW;
    const zel_token token = MakeTokenRecord(slot, info, 3, "libvendor.so");
    EXPECT_EQ(SerialText(token), "0123456789ABCDEF");
    EXPECT_EQ(LabelText(token), "My");
    EXPECT_EQ(ManufacturerText(token), "Acme");
    EXPECT_EQ(ModelText(token), "");
    EXPECT_EQ(std::memcmp(token.slotDescription, slot.slotDescription, 64), 0);
    EXPECT_EQ(token.slotIndex, 3u);
    EXPECT_EQ(token.modulePath, "libvendor.so");
    EXPECT_EQ(token.tokenFlags, CKF_USER_PIN_COUNT_LOW);
    for (const std::size_t at : {0, 15}) {
        CK_TOKEN_INFO other = info;
        EXPECT_TRUE(HasSerialNumber(other, token));
        other.serialNumber[at] ^= 1;
        EXPECT_FALSE(HasSerialNumber(other, token)) << at;
    }

    // SHA-1 of "0123456789ABCDEF" "Acme" "": differences after a blank do not count.
    std::wstring line;
    ASSERT_EQ(GetTokenHash(token, line), 0);
    EXPECT_EQ(line, L"TOKEN_HASH: 36d629da102750410d50b70a0634209e4cf164f0\n");
    EXPECT_EQ(CurrentTokenHash(), "36d629da102750410d50b70a0634209e4cf164f0");
    Fill(info.manufacturerID, "Acme Other");
    ASSERT_EQ(GetTokenHash(MakeTokenRecord(slot, info, 0, ""), line), 0);
    EXPECT_EQ(CurrentTokenHash(), "36d629da102750410d50b70a0634209e4cf164f0");
}

TEST(Pkcs11CallTest, FailuresBecomeTheLastErrorByName) {
    const std::pair<CK_RV, const char*> cases[] = {
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED"},
        {0x80000002, "CKR_VENDOR_DEFINED+0x2"},
        {0x7777, ""},
    };
    for (const auto& [rv, name] : cases) {
        SetLastSystemError(0, "none");
        EXPECT_EQ(Checked(rv), rv);
        EXPECT_EQ(GetLastSystemError().code, rv);
        EXPECT_EQ(GetLastSystemError().text, name);
    }
    SetLastSystemError(5, "kept");
    EXPECT_EQ(Checked(CKR_OK), CKR_OK);
    EXPECT_EQ(GetLastSystemError().text, "kept");
    EXPECT_STREQ(CkrName(CKR_OK), "CKR_OK");
}

}  // namespace
}  // namespace qe
