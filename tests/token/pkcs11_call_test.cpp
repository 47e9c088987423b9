#include "token/pkcs11_call.h"

#include <gtest/gtest.h>

#include "log/last_error.h"

namespace qe {
namespace {

TEST(Pkcs11CallTest, FailuresBecomeTheLastErrorByName) {
    SetLastSystemError(0, "");
    EXPECT_EQ(Checked(CKR_OK), CKR_OK);
    EXPECT_EQ(GetLastSystemError().code, 0u);

    EXPECT_EQ(Checked(CKR_PIN_INCORRECT), CKR_PIN_INCORRECT);
    EXPECT_EQ(GetLastSystemError().code, 160u);
    EXPECT_EQ(GetLastSystemError().text, "CKR_PIN_INCORRECT");

    EXPECT_EQ(Checked(0x80000002), 0x80000002u);
    EXPECT_EQ(GetLastSystemError().code, 0x80000002u);
    EXPECT_EQ(GetLastSystemError().text, "CKR_VENDOR_DEFINED+0x2");

    EXPECT_STREQ(CkrName(0x7777), "");
    EXPECT_STREQ(CkrName(CKR_CRYPTOKI_ALREADY_INITIALIZED), "CKR_CRYPTOKI_ALREADY_INITIALIZED");
}

}  // namespace
}  // namespace qe
