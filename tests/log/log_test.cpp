// The diagnostic log, the failure lines and last error it writes, and the private temporary
// folder with the files removed at exit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "log/enroll_log.h"
#include "log/failure_logger.h"
#include "log/last_error.h"
#include "log/temp_dir.h"
#include "support/process_log.h"

namespace qe {
namespace {

using test::ReadFile;
using test::ScopedDir;

const std::string kStart =
    "\n\n\n################################START###################################\n\n"
    "Version: 2.7.23\n\n";
const std::string kStop =
    "\n\n\n################################STOP####################################\n\n\n\n\n";

int Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

TEST(EnrollLog, LinesAreStampedTaggedVerbatimAndOnDiskAtOnce) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    const std::string lines = "[T] plain\n[T][A][B] 100%s %d %n\n[T][A] cut\n[T] multi\nline\n";
    {
        CEnrollLog log(path);
        log.Write("plain");
        log.PushTag("A");
        log.PushTag("B");
        log.Write("100%s %d %n");
        log.PopTag();
        log.Write(std::string("cut\0hidden", 10));
        log.PopTag();
        log.PopTag();  // on an empty stack: nothing
        log.Write("multi\nline");
        EXPECT_EQ(test::Unstamped(ReadFile(path)), kStart + lines);
    }
    EXPECT_EQ(test::Unstamped(ReadFile(path)), kStart + lines + kStop);
    EXPECT_EQ(Mode(path), 0600);
}

TEST(EnrollLog, KeepsOneDayAndTakesOnlyAFileOfItsOwn) {
    enum Kind { kNone, kFile, kSecondName, kLink };
    const struct {
        Kind kind;
        int mode;
        long ageDays;
        const char* kept;  // what the run keeps of the file; null: it does not take it
    } cases[] = {
        {kNone, 0, 0, ""}, {kFile, 0644, 0, "earlier\n"}, {kFile, 0, -2, ""},
        {kFile, 0, 3, ""}, {kSecondName, 0, 0, nullptr},  {kLink, 0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << c.ageDays);
        ScopedDir dir("log");
        const std::string path = dir / "enrolllog.txt";
        const std::string other = dir / "other";
        if (c.kind != kNone) {
            test::WriteFile(c.kind == kFile ? path : other, "earlier\n");
        }
        ASSERT_EQ(c.kind == kSecondName ? link(other.c_str(), path.c_str()) : 0, 0);
        ASSERT_EQ(c.kind == kLink ? symlink(other.c_str(), path.c_str()) : 0, 0);
        ASSERT_EQ(c.mode != 0 ? chmod(path.c_str(), static_cast<mode_t>(c.mode)) : 0, 0);
        const timeval aged = {time(nullptr) + c.ageDays * 86400, 0};
        const timeval times[2] = {aged, aged};
        ASSERT_EQ(c.ageDays != 0 ? utimes(path.c_str(), times) : 0, 0);
        {
            CEnrollLog log(path);
            EXPECT_EQ(log.IsOpen(), c.kept != nullptr);
            log.Write("x");
        }
        if (c.kept != nullptr) {
            EXPECT_EQ(test::Unstamped(ReadFile(path)), c.kept + kStart + "[T] x\n" + kStop);
            EXPECT_EQ(Mode(path), 0600);
        } else {
            EXPECT_EQ(ReadFile(other), "earlier\n");
        }
    }
    CEnrollLog nowhere("/nonexistent/enrolllog.txt");
    EXPECT_FALSE(nowhere.IsOpen());
    nowhere.Write("nothing happens");
}

TEST(EnrollLog, OpensWithStandardInputClosed) {
    ScopedDir dir("log");
    const int input = dup(0);
    close(0);
    const bool open = CEnrollLog(dir / "enrolllog.txt").IsOpen();  // on descriptor 0
    dup2(input, 0);
    close(input);
    EXPECT_TRUE(open);
}

TEST(EnrollLog, LinesFromSeveralThreadsDoNotInterleave) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    {
        CEnrollLog log(path);
        std::vector<std::thread> threads;
        for (char c : {'a', 'b', 'c', 'd'}) {
            threads.emplace_back([&log, c] {
                for (int i = 0; i < 200; ++i) {
                    log.Write(std::string(40, c));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    const std::string body = test::Unstamped(ReadFile(path));
    const std::regex line(R"(\[T\] ([a-d])\1{39}\n)");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(body.begin(), body.end(), line), std::sregex_iterator()),
        800);
}

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

TEST(TempDir, OnlyAPrivateDirectoryServes) {
    const std::string own = "quorvane-enroll-" + std::to_string(geteuid());
    ScopedDir personal("personal");  // mkdtemp: 0700
    ScopedDir shared("shared");
    ScopedDir planted("planted");  // someone made our name first, open to others
    ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
    ASSERT_EQ(chmod(planted.path().c_str(), 01777), 0);
    ASSERT_EQ(mkdir((planted / own).c_str(), 0755), 0);
    ASSERT_EQ(chmod((planted / own).c_str(), 0755), 0);
    test::WriteFile(personal / "file", "");
    ASSERT_EQ(mkdir((personal / "p").c_str(), 0700), 0);
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(personal.path());  // for a relative TMPDIR
    const std::optional<std::string> fromTmp = "/tmp/" + own + "/";
    const test::ScopedEnv cache("XDG_CACHE_HOME", (personal / "cache").c_str());
    const struct {
        std::optional<std::string> tmpdir;  // none: unset
        std::optional<std::string> expected;
    } cases[] = {
        {personal.path(), personal.path() + "/"},
        {personal.path() + "//", personal.path() + "/"},
        {"p/", "p/"},  // one character before the slash
        {shared.path(), shared / own + "/"},
        {planted.path(), personal / "cache/quorvane-enroll/"},  // one per user, found again
        {personal / "file", std::nullopt},
        {personal / "missing", std::nullopt},
        {std::nullopt, fromTmp},
        {"", fromTmp},
    };
    const test::ScopedEnv tmpdir("TMPDIR", std::getenv("TMPDIR"));  // put back after the rows
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
        if (c.tmpdir) {
            setenv("TMPDIR", c.tmpdir->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        const auto dir = PrivateTempDir();
        EXPECT_EQ(dir, c.expected);
        struct stat st {};
        if (dir && lstat(dir->c_str(), &st) == 0) {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            EXPECT_EQ(st.st_uid, geteuid());
        }
    }
    std::filesystem::current_path(cwd);
}

TEST(TempDir, RegisteredFilesGoAtExitForgottenOnesStay) {
    test::ScopedDir dir("exit");
    test::WriteFile(dir / "kept", "x");
    test::WriteFile(dir / "removed", "x");
    ASSERT_TRUE(RegisterExitRemoval(dir / "kept") && RegisterExitRemoval(dir / "removed"));
    ForgetExitRemoval(dir / "kept");
    RemoveRegisteredFiles();
    EXPECT_EQ(access((dir / "kept").c_str(), F_OK), 0);
    EXPECT_NE(access((dir / "removed").c_str(), F_OK), 0);
    ForgetExitRemoval(dir / "removed");
}

// A link planted where the replacement is written first (to another file, or a hard link of it)
// is replaced, never written through.
TEST(TempDir, ReplaceFileWritesNoPlantedLink) {
    test::ScopedDir dir("replace");
    test::WriteFile(dir / "victim", "x");
    for (const auto link : {&symlink, &link}) {
        std::filesystem::remove(dir / "f.new");
        ASSERT_EQ(link((dir / "victim").c_str(), (dir / "f.new").c_str()), 0);
        ASSERT_TRUE(ReplaceFile(dir / "f", "new"));
        EXPECT_EQ(test::ReadFile(dir / "victim"), "x");
        EXPECT_EQ(test::ReadFile(dir / "f"), "new");
    }
}

}  // namespace
}  // namespace qe
