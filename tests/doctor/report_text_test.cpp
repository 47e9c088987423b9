#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "doctor/log_tail.h"
#include "doctor/report_sections.h"
#include "doctor/report_text.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

using namespace std::chrono_literals;

// Controls (C0, DEL, C1) and bytes that are not UTF-8 (cut off, overlong, surrogates, beyond
// U+10FFFF) are escaped; every well-formed character at the edge of its range is kept.
TEST(ReportTextTest, ControlsAndBrokenUtf8AreEscapedTextIsKept) {
    const std::string kept = "Brașov €𝄞 ~ \xc2\xa0 \xed\x9f\xbf \xf4\x8f\xbf\xbf";
    EXPECT_EQ(Printable(kept), kept);
    EXPECT_EQ(Printable("\x1b[2J\t\n\x7f \xc2\x9b\xc2\x9f"),
              "\\x1b[2J\\x09\\x0a\\x7f \\xc2\\x9b\\xc2\\x9f");
    EXPECT_EQ(
        Printable("\xff \xe2\x82( \xc0\xaf \xc1\xbf \xe0\x9f\xbf \xf0\x8f\xbf\xbf \xed\xa0\x80 "
                  "\xf4\x90\x80\x80 \xf5\x80 \xe2\x82"),
        "\\xff \\xe2\\x82( \\xc0\\xaf \\xc1\\xbf \\xe0\\x9f\\xbf \\xf0\\x8f\\xbf\\xbf "
        "\\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xf5\\x80 \\xe2\\x82");
    EXPECT_EQ(FieldText("SoftHSM  \x01   ", 12), "SoftHSM  \\x01");
    EXPECT_EQ(FieldText("        ", 8), "");
}

TEST(ReportTextTest, FlagsResultsAndFields) {
    EXPECT_EQ(TokenFlagWords(0), "none");
    EXPECT_EQ(TokenFlagWords(CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_LOCKED | 0x80000000),
              "random number generator, login required, other 0x80000000");
    EXPECT_EQ(PinFlagWords(CKF_LOGIN_REQUIRED | CKF_USER_PIN_COUNT_LOW | CKF_SO_PIN_TO_BE_CHANGED),
              "user PIN count low, SO PIN to be changed");
    EXPECT_EQ(SlotFlagWords(CKF_TOKEN_PRESENT | CKF_HW_SLOT | 0x8),
              "token present, hardware slot, other 0x00000008");
    EXPECT_EQ(ResultText(0x7777), "0x7777");
    EXPECT_EQ(VersionText({2, 4}), "2.04");
    EXPECT_EQ(MemoryText(12345, 65536), "12345 of 65536 bytes free");
    EXPECT_EQ(MemoryText(CK_UNAVAILABLE_INFORMATION, 65536), "not reported");
    EXPECT_EQ(MemoryText(0, CK_UNAVAILABLE_INFORMATION), "not reported");
    ReportWriter out;
    out.Section("One");
    out.Field(1, "key", "");
    out.Section("Two");
    out.Line(2, "text");
    EXPECT_EQ(out.text(), "== One ==\n  key: (empty)\n\n== Two ==\n    text\n");
}

// A token is shared when one serial, maker and model shows through two library files; slots of
// one library with one serial (a library that gives all its tokens one dummy serial) are not.
TEST(TokenOverviewTest, ATokenSeenThroughSeveralLibraryFiles) {
    const auto module = [](const char* name, std::vector<std::pair<CK_SLOT_ID, const char*>> seen) {
        ModuleOutcome outcome{name, {true, {}, {}, {}, {}}};
        for (const auto& [slot, serial] : seen) {
            outcome.report.tokens.push_back({name, slot, serial, "Maker", "Model"});
        }
        return outcome;
    };
    const std::string none = "no token is seen through more than one library";
    const std::pair<std::vector<ModuleOutcome>, std::string> cases[] = {
        {{module("a.so", {{1, "0000"}, {2, "0000"}})}, none},
        {{module("a.so", {{1, "0000"}}), module("a.so", {{1, "0000"}})}, none},
        {{module("a.so", {{1, "0000"}, {2, "0000"}}), module("b.so", {{7, "0000"}})},
         "token 0000 is seen through 2 libraries:"},
    };
    for (const auto& [modules, line] : cases) {
        ReportWriter out;
        RenderTokenOverview(modules, {}, {true, {}, {}, {}, {}}, std::chrono::seconds(1), out);
        const std::vector<std::string> lines = test::SplitLines(out.text());
        EXPECT_THAT(lines, testing::Contains(line)) << line;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), none), line == none) << line;
    }
}

// How a child ended, what it wrote and how the report names it (crash, hang: the token test's).
TEST(ChildProcessTest, EndOutputAndTimeLimit) {
    using End = ChildRun::End;
    const std::tuple<const char*, End, std::string, std::string> cases[] = {
        {"printf 'a\\nb'; exit 3", End::Exited, "a\nb", "ended without a report (exit status 3)"},
        // What it leaves running with the pipe open does not hold up the report.
        {"sleep 5 2>/dev/null & echo x", End::Exited, "x\n",
         "ended without a report (exit status 0)"},
    };
    for (const auto& [script, end, output, text] : cases) {
        const ChildRun run = RunChild({"/bin/sh", "-c", script}, std::chrono::seconds(2));
        EXPECT_EQ(run.end, end) << script;
        EXPECT_EQ(run.output, output) << script;
        EXPECT_EQ(ChildEndText(run, std::chrono::seconds(2)), text) << script;
    }
    const ChildRun big = RunChild({"/bin/sh", "-c", "head -c 17000000 /dev/zero"}, 10s);
    EXPECT_EQ(big.output.size(), kMaxChildOutput);
    EXPECT_EQ(ChildEndText(RunChild({"/nonexistent/program"}, 1s), 1s),
              "could not be started: No such file or directory");
}

TEST(LogTailTest, TheEndOfTheFileWithoutItsCutLine) {
    const test::ScopedDir dir("tail");
    test::WriteFile(dir / "log", "first line\nsecond\nthird\n");  // 24 bytes
    const std::pair<std::size_t, std::string> cases[] = {
        {24, "first line\nsecond\nthird\n"},
        {25, "first line\nsecond\nthird\n"},
        {23, "second\nthird\n"},
        {13, "third\n"},
        {12, "third\n"},
        {3, ""},
    };
    const auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openFiles();
    for (const auto& [size, tail] : cases) {
        std::string text = "left over";
        ASSERT_EQ(ReadFileTail(dir / "log", size, text), 0) << size;
        EXPECT_EQ(text, tail) << size;
    }
    EXPECT_EQ(openFiles(), before);

    // Only a regular file of this user, never through a link.
    ASSERT_EQ(symlink((dir / "log").c_str(), (dir / "link").c_str()), 0);
    std::string text = "left over";
    EXPECT_EQ(ReadFileTail(dir / "link", 100, text), ELOOP);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(ReadFileTail(dir.path(), 100, text), EPERM);
    EXPECT_EQ(ReadFileTail(dir / "missing", 100, text), ENOENT);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((dir / "log").c_str(), 1, 1), 0);
        EXPECT_EQ(ReadFileTail(dir / "log", 100, text), EPERM);
    }
    EXPECT_EQ(openFiles(), before);
}

TEST(LogTailTest, LastLines) {
    using Lines = std::vector<std::string>;
    const std::tuple<std::string, std::size_t, Lines> cases[] = {
        {"a\n\nb\nc\n", 3, {"", "b", "c"}},
        {"a\nb", 2, {"a", "b"}},
        {"a\nb\n", 5, {"a", "b"}},
        {"\n", 1, {""}},
        {"", 3, {}},
        {"a\nb\n", 0, {}},
    };
    for (const auto& [text, count, lines] : cases) {
        EXPECT_EQ(LastLines(text, count), lines) << text << count;
    }
}

}  // namespace
}  // namespace qe
