#include "token/key_limits.h"

#include <gtest/gtest.h>

#include "support/softhsm.h"

namespace qe {
namespace {

TEST(KeyLimitsTest, SizesAndWhetherKeysStayOnTheToken) {
    test::SoftHsm hsm;
    hsm.InitToken("Alpha", "1234");
    const zel_token token = test::ListedTokens().at(0);
    const struct {
        const char* faults;
        CK_RV rv;
        CK_ULONG minBits;
        CK_ULONG maxBits;
        bool generates;
        bool signs;
    } cases[] = {
        {"rsa-key-sizes 1024 2048", CKR_OK, 1024, 2048, true, true},
        {"rsa-key-sizes 1024 2048\nhide-mechanism CKM_RSA_PKCS", CKR_OK, 1024, 2048, true, false},
        {"rsa-key-sizes 1024 2048\nmechanism-flags CKM_RSA_PKCS 0x300", CKR_OK, 1024, 2048, true,
         false},  // decrypt and encrypt only
        {"rsa-key-sizes 1024 2048\nmechanism-flags CKM_RSA_PKCS_KEY_PAIR_GEN 0x1", CKR_OK, 1024,
         2048, false, true},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", CKR_OK, 0, 0, false, false},
        {"fail C_GetMechanismInfo 0x30", CKR_DEVICE_ERROR, 0, 0, false, false},
        {"rsa-key-sizes 1024 2048\nfail C_GetMechanismInfo 0x30 skip 1", CKR_DEVICE_ERROR, 1024,
         2048, true, false},
        {"[token Alpha]\nabsent", CKR_TOKEN_NOT_PRESENT, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm.WriteFaultConfig(std::string(c.faults) + "\n");
        RsaKeyLimits limits{1, 2, true, true};
        EXPECT_EQ(ReadRsaKeyLimits(token, limits), c.rv);
        EXPECT_EQ(limits.minBits, c.minBits);
        EXPECT_EQ(limits.maxBits, c.maxBits);
        EXPECT_EQ(limits.generatesKeyPairs, c.generates);
        EXPECT_EQ(limits.signsPkcs1, c.signs);
        EXPECT_EQ(limits.KeysStayOnToken(), c.generates && c.signs);
    }
    const RsaKeyLimits limits{1024, 2048, true, true};
    for (const auto& [bits, fits] :
         {std::pair{1023, false}, {1024, true}, {2048, true}, {2049, false}, {-2048, false}}) {
        EXPECT_EQ(limits.Fits(bits), fits) << bits;
    }
}

}  // namespace
}  // namespace qe
