#include "log/enroll_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

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

}  // namespace
}  // namespace qe
