#include "token/pin_gate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log/enroll_log.h"
#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::SoftHsm;
using ::testing::HasSubstr;
using ::testing::Not;

// The window side as a test drives it: a cached PIN and a scripted dialog answer.
class ScriptedPinPort : public PinPort {
public:
    Secret CachedPin() override { return cached_.Clone(); }
    void AskPin() override {
        ++asked;
        if (!answer.empty()) {
            cached_ = Secret(answer);
        }
    }
    void AskPinFor(CK_FLAGS tokenFlags) override {
        flags = tokenFlags;
        AskPin();
    }
    void ClearPin() override { cached_.Clear(); }
    void Cache(const std::string& pin) { cached_ = Secret(pin); }

    int asked = 0;
    CK_FLAGS flags = 0;
    std::string answer;  // empty: the user cancels

private:
    Secret cached_;
};

class PinGateTest : public ::testing::Test {
protected:
    // The process-wide log lives in $TMPDIR; give this process its own before first use.
    static void SetUpTestSuite() {
        logDir_ = new test::ScopedDir("pinlog");
        setenv("TMPDIR", logDir_->path().c_str(), 1);
        Log();
    }
    static void TearDownTestSuite() { delete logDir_; }
    static std::string Logged() { return test::ReadFile(logDir_->path() + "/enrolllog.txt"); }

    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        std::vector<zel_token> tokens;
        CPKI().ListTokens({test::FaultModuleLibrary()}, tokens);
        ASSERT_EQ(tokens.size(), 1u);
        token_ = tokens.front();
    }

    static test::ScopedDir* logDir_;
    SoftHsm hsm_;
    zel_token token_;
    ScriptedPinPort port_;
};
test::ScopedDir* PinGateTest::logDir_ = nullptr;

TEST_F(PinGateTest, IsLoggedInReadsTheSessionState) {
    bool loggedIn = true;
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_OK);
    EXPECT_FALSE(loggedIn);

    hsm_.WriteFaultConfig("session-state 3\n");
    hsm_.ClearRecord();
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_OK);
    EXPECT_TRUE(loggedIn);
    EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()),
                ::testing::ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList",
                                       "C_GetSlotList", "C_GetTokenInfo", "C_OpenSession",
                                       "C_GetSessionInfo", "C_CloseSession", "C_Finalize"));
    // A read-only user session is not a logged-in read-write one.
    hsm_.WriteFaultConfig("session-state 1\n");
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_OK);
    EXPECT_FALSE(loggedIn);
}

TEST_F(PinGateTest, IsLoggedInFailuresClearTheFlag) {
    bool loggedIn = true;
    hsm_.WriteFaultConfig("session-state 3\nfail C_GetSessionInfo 0x32\n");
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_DEVICE_REMOVED);
    EXPECT_FALSE(loggedIn);

    hsm_.WriteFaultConfig("session-state 3\nfail C_CloseSession 0x30\n");
    loggedIn = true;
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_DEVICE_ERROR);
    EXPECT_FALSE(loggedIn);

    hsm_.WriteFaultConfig("[token Alpha]\nrefuse-rw-session\n");
    EXPECT_EQ(CPKI().IsLoggedIn(token_, loggedIn), CKR_TOKEN_WRITE_PROTECTED);
}

TEST_F(PinGateTest, LoggedInTokenAsksNothingAndLogsWhy) {
    hsm_.WriteFaultConfig("session-state 3\n");
    port_.Cache("9999");
    Secret pin("left over");
    EXPECT_EQ(AcquirePin(port_, token_, pin), CKR_OK);
    EXPECT_TRUE(pin.empty());
    EXPECT_EQ(port_.asked, 0);
    EXPECT_THAT(Logged(), HasSubstr("] PIN dialog not shown: already logged in\n"));
}

TEST_F(PinGateTest, CachedPinIsUsedWithoutAsking) {
    port_.Cache("1234");
    Secret pin;
    EXPECT_EQ(AcquirePin(port_, token_, pin), CKR_OK);
    EXPECT_EQ(pin.view(), "1234");
    EXPECT_EQ(port_.asked, 0);
}

TEST_F(PinGateTest, EmptyCacheAsksOnceAndKeepsTheAnswer) {
    port_.answer = "1234";
    Secret pin;
    EXPECT_EQ(AcquirePin(port_, token_, pin), CKR_OK);
    EXPECT_EQ(pin.view(), "1234");
    EXPECT_EQ(port_.asked, 1);

    Secret again;
    EXPECT_EQ(AcquirePin(port_, token_, again), CKR_OK);
    EXPECT_EQ(port_.asked, 1);

    // After a wrong-PIN report the window forgets the PIN: the next operation asks again.
    port_.ClearPin();
    EXPECT_EQ(AcquirePin(port_, token_, again), CKR_OK);
    EXPECT_EQ(port_.asked, 2);
}

TEST_F(PinGateTest, CancelGivesOne) {
    Secret pin;
    EXPECT_EQ(AcquirePin(port_, token_, pin), 1u);
    EXPECT_TRUE(pin.empty());
    EXPECT_EQ(port_.asked, 1);
}

TEST_F(PinGateTest, PinFlagsOfTheListedTokenReachTheDialog) {
    hsm_.WriteFaultConfig("flags-set 0x20000\n");  // CKF_USER_PIN_FINAL_TRY
    std::vector<zel_token> tokens;
    CPKI().ListTokens({test::FaultModuleLibrary()}, tokens);
    ASSERT_EQ(tokens.size(), 1u);
    Secret pin;
    AcquirePin(port_, tokens.front(), pin);
    EXPECT_EQ(port_.flags & CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_FINAL_TRY);
}

TEST_F(PinGateTest, FailingLoginTestIsReturnedWithoutAsking) {
    hsm_.WriteFaultConfig("[token Alpha]\nabsent\n");
    Secret pin;
    EXPECT_EQ(AcquirePin(port_, token_, pin), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(port_.asked, 0);
}

TEST_F(PinGateTest, ShortFormAsksOnlyWithoutACachedPin) {
    port_.answer = "1234";
    EXPECT_EQ(ObtainPin(port_).view(), "1234");
    EXPECT_EQ(ObtainPin(port_).view(), "1234");
    EXPECT_EQ(port_.asked, 1);
}

TEST_F(PinGateTest, PinsNeverReachTheLog) {
    port_.answer = "secret-pin-4711";
    Secret pin;
    AcquirePin(port_, token_, pin);
    EXPECT_THAT(Logged(), Not(HasSubstr("secret-pin-4711")));
}

}  // namespace
}  // namespace qe
