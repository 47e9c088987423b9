#include "log/failure_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509.h>

#include "log/last_error.h"
#include "support/process_log.h"

namespace qe {
namespace {

TEST(FailureLogger, WritesCodeAndTextAndLeavesTheLastErrorAsItWas) {
    struct Case {
        std::function<void()> set;
        std::vector<std::string> lines;  // written under the tags "[T][Step][On Error] "
    };
    const Case cases[] = {
        {[] { SetLastSystemError(0, ""); }, {"Setting errorId = 0, Current Error = 0"}},
        {[] { SetLastErrorFromErrno(EACCES); },
         {"Message Status ID = 13", "System Error : Permission denied\n",
          "Setting errorId = 13, Current Error = 13"}},
        {[] { SetLastSystemError(4242, ""); },
         {"Message Status ID = 4242", "Setting errorId = 4242, Current Error = 4242"}},
        {SetLastErrorNoSmartCard,
         {"Message Status ID = 2148532236",
          "System Error : The operation requires a Smart Card, but no Smart Card is currently in "
          "the device.\n- Known Issue - Athena may not be the Default Provider.",
          "Setting errorId = 2148532236, Current Error = 2148532236"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        c.set();
        const SystemError before = GetLastSystemError();
        test::ProcessLog log;
        {
            LogTag tag("Step");
            LogFailure();
            Log().Write("after");
        }
        std::string expected;
        for (const std::string& line : c.lines) {
            expected += "[T][Step][On Error] " + line + "\n";
        }
        expected += "[T][Step] after\n";
        EXPECT_EQ(log.Since(), expected);
        EXPECT_EQ(GetLastSystemError().code, before.code);
        EXPECT_EQ(GetLastSystemError().text, before.text);
    }
}

TEST(LastError, OpenSslGivesItsNewestEntryAndEmptiesTheQueue) {
    ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);  // left by earlier work
    ERR_raise(ERR_LIB_X509, X509_R_WRONG_LOOKUP_TYPE);
    SetLastErrorFromOpenSsl();
    EXPECT_EQ(GetLastSystemError().code, ERR_PACK(ERR_LIB_X509, 0, X509_R_WRONG_LOOKUP_TYPE));
    EXPECT_THAT(GetLastSystemError().text, ::testing::EndsWith(":wrong lookup type"));
    EXPECT_EQ(ERR_peek_error(), 0u);
    SetLastErrorFromOpenSsl();
    EXPECT_EQ(GetLastSystemError().code, 0u);
    EXPECT_EQ(GetLastSystemError().text, "");
}

}  // namespace
}  // namespace qe
