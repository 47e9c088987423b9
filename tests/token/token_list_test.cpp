#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "log/last_error.h"
#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::CallNames;
using test::SoftHsm;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TokenListTest : public ::testing::Test {
protected:
    SoftHsm hsm_;
    CPKI pki_;
};

TEST_F(TokenListTest, OneTokenIsSelectedWithItsRecord) {
    const std::string serial = hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({"libmissing-pkcs11.so", test::SoftHsmLibrary()});

    zel_token token;
    ASSERT_EQ(pki_.SelectToken(token), CKR_OK);
    EXPECT_EQ(std::string(token.serialNumber, 16), serial);
    EXPECT_EQ(LabelText(token), "Alpha");
    EXPECT_EQ(ManufacturerText(token), "SoftHSM");
    EXPECT_EQ(token.modulePath, test::SoftHsmLibrary());
    EXPECT_EQ(token.slotIndex, 0u);
}

TEST_F(TokenListTest, TwoTokensAreMultipleAndNoneIsNone) {
    hsm_.WriteModuleList({test::SoftHsmLibrary()});
    zel_token token;
    // SoftHSM2's spare slot holds an uninitialised token, which cannot open a session.
    EXPECT_EQ(pki_.SelectToken(token), TOKEN_NONE);

    hsm_.InitToken("Alpha", "1234");
    hsm_.InitToken("Beta", "5678");
    EXPECT_EQ(pki_.SelectToken(token), TOKEN_MULTIPLE);

    std::vector<zel_token> tokens;
    pki_.ListTokens({test::SoftHsmLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 2u);
    // slotIndex counts positions in the present-slot list, whatever the slot IDs are.
    EXPECT_EQ(tokens[0].slotIndex, 0u);
    EXPECT_EQ(tokens[1].slotIndex, 1u);
}

TEST_F(TokenListTest, NoLoadableLibraryIsNone) {
    hsm_.InitToken("Alpha", "1234");
    test::WriteFile(hsm_.dir() + "/not-a-library.so", "junk, not ELF");
    hsm_.WriteModuleList({"libmissing-pkcs11.so", hsm_.dir() + "/not-a-library.so", "libz.so.1"});
    zel_token token;
    EXPECT_EQ(pki_.SelectToken(token), TOKEN_NONE);
}

TEST_F(TokenListTest, LoadModuleCodes) {
    Pkcs11Module module;
    EXPECT_EQ(pki_.LoadModule("libmissing-pkcs11.so", module), kModuleNotLoaded);
    EXPECT_FALSE(module.loaded());
    EXPECT_EQ(GetLastSystemError().code, kModuleNotLoaded);
    EXPECT_FALSE(GetLastSystemError().text.empty());

    test::WriteFile(hsm_.dir() + "/text.so", "not a library");
    EXPECT_EQ(pki_.LoadModule(hsm_.dir() + "/text.so", module), kModuleNotLoaded);
    EXPECT_EQ(pki_.LoadModule("libz.so.1", module), kNoFunctionList);
    EXPECT_FALSE(module.loaded());

    hsm_.WriteFaultConfig("fail C_GetFunctionList 0x6\n");
    EXPECT_EQ(pki_.LoadModule(test::FaultModuleLibrary(), module), CKR_FUNCTION_FAILED);
    EXPECT_FALSE(module.loaded());

    hsm_.WriteFaultConfig("");
    ASSERT_EQ(pki_.LoadModule(test::FaultModuleLibrary(), module), CKR_OK);
    EXPECT_TRUE(module.loaded());
    EXPECT_EQ(module.name(), test::FaultModuleLibrary());
}

TEST_F(TokenListTest, TwoLibrariesOnOneReaderGiveOneRecordFromTheFirst) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteModuleList({test::FaultModuleTwinLibrary(), test::FaultModuleLibrary()});
    zel_token token;
    ASSERT_EQ(pki_.SelectToken(token), CKR_OK);
    EXPECT_EQ(token.modulePath, test::FaultModuleTwinLibrary());

    std::vector<zel_token> tokens;
    pki_.ListTokens({test::SoftHsmLibrary(), test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].modulePath, test::SoftHsmLibrary());
}

TEST_F(TokenListTest, TokenRefusingReadWriteSessionsIsNotCounted) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.InitToken("ReadOnly", "1234");
    hsm_.WriteFaultConfig("[token ReadOnly]\nrefuse-rw-session\n");
    hsm_.WriteModuleList({test::FaultModuleLibrary()});
    zel_token token;
    ASSERT_EQ(pki_.SelectToken(token), CKR_OK);
    EXPECT_EQ(LabelText(token), "Alpha");
}

TEST_F(TokenListTest, LibrariesThatFailToStartAreSkipped) {
    hsm_.InitToken("Alpha", "1234");
    std::vector<zel_token> tokens;

    hsm_.WriteFaultConfig("fail C_Initialize 0x30\n");
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    EXPECT_THAT(tokens, IsEmpty());

    hsm_.WriteFaultConfig("fail C_GetSlotList 0x30\n");
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    EXPECT_THAT(tokens, IsEmpty());

    hsm_.WriteFaultConfig("fail C_GetTokenInfo 0x30\n");
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    EXPECT_THAT(tokens, IsEmpty());

    hsm_.WriteFaultConfig("fail C_CloseSession 0x30\n");
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    EXPECT_THAT(tokens, IsEmpty());
}

TEST_F(TokenListTest, ListingFollowsTheFixedCallOrder) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.ClearRecord();
    std::vector<zel_token> tokens;
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);

    const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
    // The second slot is SoftHSM2's spare one, whose uninitialised token refuses the session.
    EXPECT_THAT(CallNames(calls),
                ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                            "C_GetSlotInfo", "C_GetTokenInfo", "C_OpenSession", "C_CloseSession",
                            "C_GetSlotInfo", "C_GetTokenInfo", "C_OpenSession", "C_Finalize"));
    EXPECT_EQ(calls[2].fields.at("present"), "1");
    EXPECT_EQ(calls[6].fields.at("flags"), "0x6");  // CKF_SERIAL_SESSION | CKF_RW_SESSION
    EXPECT_EQ(calls[10].rv, CKR_TOKEN_NOT_RECOGNIZED);
}

TEST_F(TokenListTest, AlreadyInitialisedLibraryIsListedAndStillFinalised) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.WriteFaultConfig("fail-after C_Initialize 0x191\n");
    std::vector<zel_token> tokens;
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    EXPECT_EQ(tokens.size(), 1u);
    EXPECT_EQ(CallNames(hsm_.RecordedCalls()).back(), "C_Finalize");
}

TEST_F(TokenListTest, OpenListedTokenFindsTheSlotBySerialNumber) {
    hsm_.InitToken("Alpha", "1234");
    hsm_.InitToken("Beta", "1234");
    std::vector<zel_token> tokens;
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 2u);

    for (const zel_token& token : tokens) {
        OpenedToken opened;
        ASSERT_EQ(pki_.OpenListedToken(token, opened), CKR_OK);
        CK_TOKEN_INFO info{};
        ASSERT_EQ(opened.fn()->C_GetTokenInfo(opened.slotId, &info), CKR_OK);
        EXPECT_EQ(std::memcmp(info.label, token.label, 32), 0);
        EXPECT_EQ(opened.slots.size(), 3u);  // with SoftHSM2's spare slot
    }

    zel_token unknown = tokens[0];
    std::memcpy(unknown.serialNumber, "0000000000000000", 16);
    OpenedToken opened;
    EXPECT_EQ(pki_.OpenListedToken(unknown, opened), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(TokenListTest, OpenListedTokenReportsWhatStopsIt) {
    hsm_.InitToken("Alpha", "1234");
    std::vector<zel_token> tokens;
    pki_.ListTokens({test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);

    {
        // Pulled out after the listing.
        hsm_.WriteFaultConfig("[token Alpha]\nabsent\n");
        OpenedToken opened;
        EXPECT_EQ(pki_.OpenListedToken(tokens[0], opened), CKR_TOKEN_NOT_PRESENT);
    }
    {
        hsm_.WriteFaultConfig("fail-after C_Initialize 0x191\n");
        OpenedToken opened;
        EXPECT_EQ(pki_.OpenListedToken(tokens[0], opened), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    }
    {
        hsm_.WriteFaultConfig("fail C_GetSlotList 0x30\n");
        OpenedToken opened;
        EXPECT_EQ(pki_.OpenListedToken(tokens[0], opened), CKR_DEVICE_ERROR);
        EXPECT_EQ(GetLastSystemError().code, CKR_DEVICE_ERROR);
        EXPECT_EQ(GetLastSystemError().text, "CKR_DEVICE_ERROR");
    }
    {
        zel_token moved = tokens[0];
        moved.modulePath = "libmissing-pkcs11.so";
        OpenedToken opened;
        EXPECT_EQ(pki_.OpenListedToken(moved, opened), kModuleNotLoaded);
    }
}

}  // namespace
}  // namespace qe
