// The fault module's own promises, which the key-generation and TLS tests build on: what it hides
// stays hidden on every path, and the results it is told to give are given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "support/softhsm.h"
#include "token/open_token.h"
#include "token/pkcs11_session.h"
#include "token/pkcs11_template.h"

namespace qe {
namespace {

using ::testing::Contains;
using ::testing::Not;

class FaultModuleTest : public ::testing::Test {
protected:
    void SetUp() override { hsm_.InitToken("Alpha", "1234"); }

    // Loads the fault module and opens a logged-in session on the first slot.
    void Open() {
        ASSERT_EQ(module_.Load(test::FaultModuleLibrary()), CKR_OK);
        ASSERT_EQ(module_.Initialize(), CKR_OK);
        std::vector<CK_SLOT_ID> slots;
        ASSERT_EQ(GetPresentSlots(module_.fn(), slots), CKR_OK);
        slot_ = slots.at(0);
        ASSERT_EQ(session_.Open(module_.fn(), slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION), CKR_OK);
    }

    std::vector<CK_MECHANISM_TYPE> Mechanisms() {
        CK_ULONG count = 0;
        EXPECT_EQ(module_.fn()->C_GetMechanismList(slot_, nullptr, &count), CKR_OK);
        std::vector<CK_MECHANISM_TYPE> mechanisms(count);
        EXPECT_EQ(module_.fn()->C_GetMechanismList(slot_, mechanisms.data(), &count), CKR_OK);
        return mechanisms;
    }

    CK_RV GenerateKeyPair(CK_ULONG bits) {
        AttributeTemplate publicTemplate;
        publicTemplate.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_MODULUS_BITS, bits);
        AttributeTemplate privateTemplate;
        privateTemplate.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_SIGN, true);
        CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = 0;
        CK_OBJECT_HANDLE privateKey = 0;
        return module_.fn()->C_GenerateKeyPair(session_.handle(), &mechanism, publicTemplate.data(),
                                               publicTemplate.size(), privateTemplate.data(),
                                               privateTemplate.size(), &publicKey, &privateKey);
    }

    test::SoftHsm hsm_;
    Pkcs11Module module_;
    Pkcs11Session session_;
    Pkcs11Login login_;
    CK_SLOT_ID slot_ = 0;
};

TEST_F(FaultModuleTest, HiddenMechanismsAreHiddenEverywhere) {
    hsm_.WriteFaultConfig(
        "hide-mechanism CKM_RSA_PKCS_PSS CKM_RSA_X_509 CKM_RSA_PKCS_KEY_PAIR_GEN\n");
    Open();
    CK_MECHANISM_INFO info{};
    EXPECT_EQ(module_.fn()->C_GetMechanismInfo(slot_, CKM_RSA_PKCS_PSS, &info),
              CKR_MECHANISM_INVALID);
    EXPECT_EQ(module_.fn()->C_GetMechanismInfo(slot_, CKM_RSA_PKCS, &info), CKR_OK);

    ASSERT_EQ(login_.Login(module_.fn(), session_.handle(), Secret("1234")), CKR_OK);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_MECHANISM_INVALID);
    CK_MECHANISM pss{CKM_RSA_PKCS_PSS, nullptr, 0};
    EXPECT_EQ(module_.fn()->C_SignInit(session_.handle(), &pss, 1), CKR_MECHANISM_INVALID);

}

TEST_F(FaultModuleTest, NarrowerKeySizes) {
    hsm_.WriteFaultConfig("rsa-key-sizes 1024 2048\n");
    Open();
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(module_.fn()->C_GetMechanismInfo(slot_, CKM_RSA_PKCS_KEY_PAIR_GEN, &info), CKR_OK);
    EXPECT_EQ(info.ulMinKeySize, 1024u);
    EXPECT_EQ(info.ulMaxKeySize, 2048u);
    ASSERT_EQ(login_.Login(module_.fn(), session_.handle(), Secret("1234")), CKR_OK);
    EXPECT_EQ(GenerateKeyPair(4096), CKR_KEY_SIZE_RANGE);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_OK);
}

TEST_F(FaultModuleTest, TokenFlagsAndChosenResults) {
    hsm_.WriteFaultConfig(
        "flags-set 0x10000\n"
        "fail C_GenerateKeyPair 0x31 times 1\n"
        "fail-after C_Login 0x100\n");
    Open();
    CK_TOKEN_INFO info{};
    ASSERT_EQ(module_.fn()->C_GetTokenInfo(slot_, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);

    // The login reached the token although the caller hears "already logged in".
    EXPECT_EQ(login_.Login(module_.fn(), session_.handle(), Secret("1234"), true),
              CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_DEVICE_MEMORY);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_OK);
}

// The benchmarks read each call's duration from the record; without record-time the lines stay
// as the other tests parse them.
TEST_F(FaultModuleTest, CallDurationsOnlyWhenAsked) {
    Open();
    ASSERT_EQ(login_.Login(module_.fn(), session_.handle(), Secret("1234")), CKR_OK);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_OK);
    for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
        EXPECT_EQ(call.fields.count("us"), 0u) << call.name;
    }
    login_.Logout();
    session_.Close();
    module_.Reset();

    // Read again by the next load.
    hsm_.WriteFaultConfig("record-time\nfail C_GenerateKeyPair 0x31 times 1\n");
    hsm_.ClearRecord();
    Open();
    ASSERT_EQ(login_.Login(module_.fn(), session_.handle(), Secret("1234")), CKR_OK);
    EXPECT_EQ(GenerateKeyPair(1024), CKR_DEVICE_MEMORY);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GenerateKeyPair(1024), CKR_OK);
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);

    std::vector<test::RecordedCall> generations;
    for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
        ASSERT_EQ(call.fields.count("us"), 1u) << call.name;
        if (call.name == "C_GenerateKeyPair") {
            generations.push_back(call);
        }
    }
    ASSERT_EQ(generations.size(), 2u);
    EXPECT_EQ(generations[0].rv, CKR_DEVICE_MEMORY);  // the result still ends the line
    EXPECT_EQ(generations[1].rv, CKR_OK);
    // Microseconds: a real key generation takes some, and no more than the caller waited.
    const long long spent = std::stoll(generations[1].fields.at("us"));
    EXPECT_GT(spent, 0);
    EXPECT_LE(spent, elapsed.count());
}

}  // namespace
}  // namespace qe
