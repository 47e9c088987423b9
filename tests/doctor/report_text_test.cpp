#include <gtest/gtest.h>

#include <unistd.h>

#include "doctor/log_tail.h"
#include "doctor/report_text.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

TEST(PrintableTest, ControlsAndBrokenUtf8AreEscapedTextIsKept) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Ion Popescu, Brașov", "Ion Popescu, Brașov"},
        {"a\x1b[2Jb", "a\\x1b[2Jb"},
        {"tab\tnl\ndel\x7f", "tab\\x09nl\\x0adel\\x7f"},
        {"c1 \xc2\x9bm", "c1 \\xc2\\x9bm"},  // U+009B, the 8-bit CSI
        {"lone \xff and \xe2\x82", "lone \\xff and \\xe2\\x82"},
        {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Printable(c.in), c.out);
    }
}

TEST(LogTailTest, TheCutLineIsDroppedAndLinksAreRefused) {
    const test::ScopedDir dir("tail");
    test::WriteFile(dir / "log", "first line\nsecond\nthird\n");
    std::string text;
    ASSERT_EQ(ReadFileTail(dir / "log", 10, text), 0);
    EXPECT_EQ(text, "third\n");
    EXPECT_EQ(LastLines("a\n\nb\nc\n", 3), (std::vector<std::string>{"", "b", "c"}));

    ASSERT_EQ(symlink((dir / "log").c_str(), (dir / "link").c_str()), 0);
    EXPECT_NE(ReadFileTail(dir / "link", 100, text), 0);
    EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace qe
