// Whether a login is in place, and when the PIN dialog is shown.
#include "token/pin_gate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log/enroll_log.h"
#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

// The window side as a test drives it: a cached PIN and a scripted dialog answer.
class ScriptedPinPort : public PinPort {
public:
    Secret CachedPin() override { return cached.Clone(); }
    void AskPin() override {
        ++asked;
        if (!answer.empty()) {
            cached = Secret(answer);
        }
    }
    void AskPinFor(CK_FLAGS tokenFlags) override {
        flags = tokenFlags;
        AskPin();
    }
    void ClearPin() override { cached.Clear(); }

    Secret cached;
    int asked = 0;
    CK_FLAGS flags = 0;
    std::string answer;  // empty: the user cancels
};

class PinGateTest : public ::testing::Test {
protected:
    // The process-wide log lives in $TMPDIR; give this program its own before first use.
    static void SetUpTestSuite() {
        logDir_ = new test::ScopedDir("pinlog");
        setenv("TMPDIR", logDir_->path().c_str(), 1);
        Log();
    }
    static void TearDownTestSuite() { delete logDir_; }
    static std::string Logged() { return test::ReadFile(logDir_->path() + "/enrolllog.txt"); }

    void SetUp() override { hsm_.InitToken("Alpha", "1234"); }
    static zel_token Token() { return test::ListedTokens().at(0); }

    static test::ScopedDir* logDir_;
    test::SoftHsm hsm_;
};
test::ScopedDir* PinGateTest::logDir_ = nullptr;

TEST_F(PinGateTest, LoggedInMeansAReadWriteUserSession) {
    const zel_token token = Token();
    const struct {
        const char* faults;
        CK_RV rv;
        bool loggedIn;
    } cases[] = {
        {"", CKR_OK, false},
        {"session-state 1", CKR_OK, false},  // read-only user functions
        {"session-state 2", CKR_OK, false},
        {"session-state 3", CKR_OK, true},
        {"session-state 4", CKR_OK, false},
        {"session-state 3\nfail C_GetSessionInfo 0x32", CKR_DEVICE_REMOVED, false},
        {"session-state 3\nfail C_CloseSession 0x30", CKR_DEVICE_ERROR, false},
        {"session-state 3\n[token Alpha]\nrefuse-rw-session", CKR_TOKEN_WRITE_PROTECTED, false},
        {"session-state 3\n[token Alpha]\nabsent", CKR_TOKEN_NOT_PRESENT, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm_.WriteFaultConfig(std::string(c.faults) + "\n");
        bool loggedIn = !c.loggedIn;
        EXPECT_EQ(CPKI().IsLoggedIn(token, loggedIn), c.rv);
        EXPECT_EQ(loggedIn, c.loggedIn);
    }
}

TEST_F(PinGateTest, TheDialogOnlyWhenNoLoginAndNoCachedPin) {
    const struct {
        const char* faults;
        const char* cached;
        const char* answer;
        CK_RV rv;
        const char* pin;
        int asked;
        const char* logged;  // the line's text after its time and tags
    } cases[] = {
        {"session-state 3", "9999", "", CKR_OK, "", 0, "PIN dialog not shown: already logged in"},
        {"", "1234", "5678", CKR_OK, "1234", 0, nullptr},
        {"", "", "5678", CKR_OK, "5678", 1, nullptr},
        {"", "", "", 1, "", 1, nullptr},  // cancelled
        {"[token Alpha]\nabsent", "", "5678", CKR_TOKEN_NOT_PRESENT, "", 0, nullptr},
    };
    zel_token token = Token();
    token.tokenFlags |= CKF_USER_PIN_FINAL_TRY;  // the dialog warns from the listed flags
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm_.WriteFaultConfig(std::string(c.faults) + "\n");
        ScriptedPinPort port;
        port.cached = Secret(c.cached);
        port.answer = c.answer;
        Secret pin("left over");
        const std::size_t logSize = Logged().size();
        EXPECT_EQ(AcquirePin(port, token, pin), c.rv);
        EXPECT_EQ(pin.view(), c.pin);
        EXPECT_EQ(port.asked, c.asked);
        EXPECT_EQ(port.flags, c.asked != 0 ? token.tokenFlags : 0);
        const std::string added = Logged().substr(logSize);
        EXPECT_EQ(added.empty() ? "" : added.substr(added.find("] ") + 2),
                  c.logged != nullptr ? std::string(c.logged) + "\n" : "");
    }
    // The short form of the download flows: asks only without a cached PIN, tests no login.
    ScriptedPinPort port;
    port.answer = "1234";
    EXPECT_EQ(ObtainPin(port).view(), "1234");
    EXPECT_EQ(ObtainPin(port, CKF_USER_PIN_COUNT_LOW).view(), "1234");
    EXPECT_EQ(port.asked, 1);
}

}  // namespace
}  // namespace qe
