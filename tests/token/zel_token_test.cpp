// The token record, the names of PKCS#11 results, the token hash, and what a certificate
// gives the token objects.
#include "token/zel_token.h"

#include <gtest/gtest.h>

#include <cstring>

#include <openssl/evp.h>

#include "log/last_error.h"
#include "support/softhsm_certs.h"
#include "token/certificate_parts.h"
#include "token/pkcs11_call.h"
#include "token/token_hash.h"
#include "toolkit/status.h"

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
    Fill(info.serialNumber, "0123456789ABCDEF");
    Fill(info.label, "My Token");
    Fill(info.manufacturerID, "Acme Tokens Ltd");
    Fill(info.model, " Model");
    const zel_token token = MakeTokenRecord(slot, info, 3, "libvendor.so");
    EXPECT_EQ(SerialText(token), "0123456789ABCDEF");
    EXPECT_EQ(LabelText(token), "My");
    EXPECT_EQ(ManufacturerText(token), "Acme");
    EXPECT_EQ(ModelText(token), "");
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
    for (const auto& [rv, name] :
         {std::pair<CK_RV, const char*>{CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
          {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED"},
          {0x80000002, "CKR_VENDOR_DEFINED+0x2"},
          {0x7777, ""}}) {
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

// A certificate's parts as the token objects take them are checked through the token; here
// only what is refused.
TEST(CertificatePartsTest, RefusesWhatIsNotOneRsaCertificate) {
    const test::TestCa ca;
    const PkeyPtr ec(EVP_EC_gen("P-256"));
    const Bytes der = ca.Issue(ca.key(), {{"CN", "Ana"}}, {0x01});
    Bytes trailing = der;
    trailing.push_back(0x00);
    for (const Bytes& bad : {trailing, Bytes(der.begin(), der.end() - 1), Bytes(),
                             ca.Issue(ec.get(), {{"CN", "Ana"}}, {1})}) {
        CertificateParts parts;
        parts.label = "untouched";
        EXPECT_EQ(ParseCertificateParts(bad, parts), kToolkitDecodeError);
        EXPECT_EQ(parts.label, "untouched");
    }
}

TEST(ComputeKeyIdTest, Sha1OrItsUpperCaseHexForOcsCryptoki) {
    const Bytes sha1 = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                        0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    const Bytes hex = ToBytes("A9993E364706816ABA3E25717850C26C9CD0D89D");
    for (const auto& [path, id] : {std::pair{"/usr/lib/libvendor.so", sha1},
                                   {"OCSCryptoki.dll", hex},
                                   {"/opt/libocscryptoki.so", hex},
                                   {"/opt/libOcsCryptoki.so", sha1}}) {
        EXPECT_EQ(ComputeKeyId(ToBytes("abc"), path), id) << path;
    }
}

}  // namespace
}  // namespace qe
