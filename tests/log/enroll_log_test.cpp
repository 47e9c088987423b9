#include "log/enroll_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

using test::ReadFile;
using test::ScopedDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kStart =
    "\n\n\n################################START###################################\n\n"
    "Version: 2.7.23\n\n";
constexpr const char* kStop =
    "\n\n\n################################STOP####################################\n\n\n\n\n";

// Lines after the START banner and version line.
std::string Body(const std::string& file) {
    const auto at = file.rfind(kStart);
    return at == std::string::npos ? file : file.substr(at + std::string(kStart).size());
}

TEST(EnrollLog, NewFileStartsWithBannerAndEndsWithStop) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    { CEnrollLog log(path); }
    EXPECT_EQ(ReadFile(path), std::string(kStart) + kStop);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(EnrollLog, AppendsOnTheSameDayAndTruncatesOnAnotherDay) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    test::WriteFile(path, "earlier run\n");
    { CEnrollLog log(path); }
    EXPECT_THAT(ReadFile(path), StartsWith("earlier run\n" + std::string(kStart)));

    // Last written two days ago: the new run starts the file afresh.
    const timeval old[2] = {{time(nullptr) - 2 * 86400, 0}, {time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(utimes(path.c_str(), old), 0);
    { CEnrollLog log(path); }
    EXPECT_THAT(ReadFile(path), StartsWith(kStart));

    // A later day (a clock set back) also starts afresh.
    test::WriteFile(path, "from the future\n");
    const timeval future[2] = {{time(nullptr) + 3 * 86400, 0}, {time(nullptr) + 3 * 86400, 0}};
    ASSERT_EQ(utimes(path.c_str(), future), 0);
    { CEnrollLog log(path); }
    EXPECT_THAT(ReadFile(path), StartsWith(kStart));
}

TEST(EnrollLog, WritesOnlyAFileOfItsOwnClosedToOthers) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    test::WriteFile(dir / "other.txt", "not a log\n");
    ASSERT_EQ(link((dir / "other.txt").c_str(), path.c_str()), 0);
    EXPECT_FALSE(CEnrollLog(path).IsOpen());  // a second name of another file
    EXPECT_EQ(ReadFile(path), "not a log\n");

    ASSERT_EQ(unlink((dir / "other.txt").c_str()), 0);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    EXPECT_TRUE(CEnrollLog(path).IsOpen());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // left readable by others before
}

TEST(EnrollLog, LineFormatTagsAndVerbatimText) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
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
    }
    const std::string body = Body(ReadFile(path));
    const std::regex expected(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\] plain\n)"
                              R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\[A\]\[B\] 100%s %d %n\n)"
                              R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]\[A\] cut\n)"
                              R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\] multi\nline\n)");
    EXPECT_TRUE(std::regex_search(body, expected)) << body;
    EXPECT_EQ(body.find("hidden"), std::string::npos);
}

TEST(EnrollLog, EachLineIsOnDiskAtOnce) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    CEnrollLog log(path);
    log.Write("first");
    EXPECT_THAT(ReadFile(path), HasSubstr("] first\n"));
}

TEST(EnrollLog, LinesFromSeveralThreadsDoNotInterleave) {
    ScopedDir dir("log");
    const std::string path = dir / "enrolllog.txt";
    {
        CEnrollLog log(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i) {
                    log.Write(std::string(40, static_cast<char>('a' + t)));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    const std::string body = Body(ReadFile(path));
    const std::regex line(R"(\[[^\]]+\] ([a-d])\1{39}\n)");
    std::size_t count =
        std::distance(std::sregex_iterator(body.begin(), body.end(), line), std::sregex_iterator());
    EXPECT_EQ(count, 800u);
}

TEST(EnrollLog, InertWhenTheFileCannotBeOpened) {
    ScopedDir dir("log");
    CEnrollLog missingDir(dir / "no/such/dir/enrolllog.txt");
    EXPECT_FALSE(missingDir.IsOpen());
    missingDir.Write("nothing happens");
    missingDir.PushTag("x");
    missingDir.PopTag();
}

TEST(EnrollLog, NeverWritesThroughALink) {
    ScopedDir dir("log");
    const std::string target = dir / "victim";
    test::WriteFile(target, "precious");
    const std::string path = dir / "enrolllog.txt";
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    {
        CEnrollLog log(path);
        EXPECT_FALSE(log.IsOpen());
        log.Write("x");
    }
    EXPECT_EQ(ReadFile(target), "precious");
}

TEST(HexReversed, PrintsLastByteFirst) {
    const std::uint8_t serial[] = {0x01, 0xAB};
    EXPECT_EQ(HexReversed(2, serial), "ab01");
    EXPECT_EQ(HexReversed(0, serial), "");
    const std::uint8_t zeroLed[] = {0x0F, 0x00};
    EXPECT_EQ(HexReversed(2, zeroLed), "000f");
}

}  // namespace
}  // namespace qe
