// The fault module's own promises, which other tests and the benchmarks build on: a result given
// after the token did the work, rules that count, and call durations only when asked.
#include <gtest/gtest.h>

#include <chrono>

#include "support/softhsm.h"
#include "token/open_token.h"
#include "token/pkcs11_template.h"

namespace qe {
namespace {

TEST(FaultModuleTest, ChosenResultsAndDurations) {
    test::SoftHsm hsm;
    hsm.InitToken("Alpha", "1234");
    for (const bool timed : {false, true}) {
        SCOPED_TRACE(timed);
        hsm.WriteFaultConfig(std::string(timed ? "record-time\n" : "") +
                             "fail-after C_Login 0x100\nrsa-key-sizes 1024 2048\n"
                             "fail C_GenerateKeyPair 0x31 skip 1 times 1\n");
        hsm.ClearRecord();
        OpenedToken opened;
        ASSERT_EQ(LoadWithPresentSlots(test::FaultModuleLibrary(), opened.module, opened.slots),
                  CKR_OK);
        Pkcs11Session session;
        ASSERT_EQ(
            session.Open(opened.fn(), opened.slots.at(0), CKF_SERIAL_SESSION | CKF_RW_SESSION),
            CKR_OK);
        Pkcs11Login login;
        EXPECT_EQ(login.Login(opened.fn(), session.handle(), Secret("1234"), true),
                  CKR_USER_ALREADY_LOGGED_IN);
        const auto generate = [&](CK_ULONG bits) {
            AttributeTemplate publicTemplate;
            publicTemplate.Ulong(CKA_MODULUS_BITS, bits);
            AttributeTemplate privateTemplate;
            privateTemplate.Bool(CKA_PRIVATE, true);  // only for a logged-in user
            CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
            CK_OBJECT_HANDLE keys[2] = {};
            return opened.fn()->C_GenerateKeyPair(
                session.handle(), &mechanism, publicTemplate.data(), publicTemplate.size(),
                privateTemplate.data(), privateTemplate.size(), &keys[0], &keys[1]);
        };
        EXPECT_EQ(generate(4096), CKR_KEY_SIZE_RANGE);
        EXPECT_EQ(generate(1024), CKR_DEVICE_MEMORY);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(generate(1024), CKR_OK);  // the login reached the token
        const auto waited = std::chrono::steady_clock::now() - start;
        const std::vector<test::RecordedCall> calls = hsm.RecordedCalls();
        for (const test::RecordedCall& call : calls) {
            EXPECT_EQ(call.fields.count("us"), timed ? 1u : 0u) << call.name;
        }
        if (timed) {
            // A real key generation takes some microseconds, and no more than the caller waited.
            const long long spent = std::stoll(calls.back().fields.at("us"));
            EXPECT_GT(spent, 0);
            EXPECT_LE(spent, std::chrono::duration_cast<std::chrono::microseconds>(waited).count());
        }
    }
}

}  // namespace
}  // namespace qe
