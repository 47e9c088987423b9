#include "log/failure_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "log/enroll_log.h"
#include "log/last_error.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

// The process-wide log lives in $TMPDIR; give this process its own before first use.
class FailureLoggerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::ScopedDir("failure");
        setenv("TMPDIR", dir_->path().c_str(), 1);
        Log();
    }
    static void TearDownTestSuite() { delete dir_; }
    std::string Logged() const { return test::ReadFile(dir_->path() + "/enrolllog.txt"); }
    static test::ScopedDir* dir_;
};
test::ScopedDir* FailureLoggerTest::dir_ = nullptr;

TEST_F(FailureLoggerTest, NoErrorWritesOnlyTheSettingLine) {
    SetLastSystemError(0, "");
    LogTag tag("Step 1");
    LogFailure();
    const std::string log = Logged();
    EXPECT_THAT(log, HasSubstr("[Step 1][On Error] Setting errorId = 0, Current Error = 0\n"));
    EXPECT_THAT(log, Not(HasSubstr("Message Status ID")));
    EXPECT_EQ(GetLastSystemError().code, 0u);
}

TEST_F(FailureLoggerTest, WritesCodeTextAndRestoresTheLastError) {
    SetLastErrorFromErrno(EACCES);
    LogFailure();
    const std::string log = Logged();
    EXPECT_THAT(log, HasSubstr("[On Error] Message Status ID = 13\n"));
    EXPECT_THAT(log, HasSubstr("[On Error] System Error : Permission denied\n\n"));
    EXPECT_THAT(log, HasSubstr("[On Error] Setting errorId = 13, Current Error = 13\n"));
    EXPECT_EQ(GetLastSystemError().code, 13u);
    EXPECT_EQ(GetLastSystemError().text, "Permission denied");
}

TEST_F(FailureLoggerTest, KnownIssueSentenceForMissingSmartCard) {
    SetLastErrorNoSmartCard();
    LogFailure();
    EXPECT_THAT(Logged(),
                ContainsRegex("System Error : The operation requires a Smart Card[^\n]*\n"
                              "- Known Issue - Athena may not be the Default Provider\\.\n"));
    EXPECT_THAT(Logged(), HasSubstr("Setting errorId = 2148532236, Current Error = 2148532236"));
    EXPECT_EQ(GetLastSystemError().code, kNoSmartCardError);
}

TEST_F(FailureLoggerTest, CodeWithoutTextWritesNoTextLine) {
    SetLastSystemError(4242, "");
    LogFailure();
    EXPECT_THAT(Logged(), HasSubstr("Message Status ID = 4242\n"));
    EXPECT_THAT(Logged(), Not(HasSubstr("System Error : \n")));
}

TEST_F(FailureLoggerTest, TagIsPoppedAfterwards) {
    SetLastSystemError(0, "");
    LogFailure();
    Log().Write("after");
    EXPECT_THAT(Logged(), ContainsRegex("\\] after\n"));
}

TEST(LastError, OpenSslGivesItsNewestEntry) {
    ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);  // left by earlier work
    ERR_raise(ERR_LIB_X509, X509_R_WRONG_LOOKUP_TYPE);
    SetLastErrorFromOpenSsl();
    EXPECT_THAT(GetLastSystemError().text, ::testing::HasSubstr("wrong lookup type"));
    EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace qe
