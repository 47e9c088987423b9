#include "ui/rtf_reader.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "messages/messages.h"

namespace qe {
namespace {

using ::testing::StartsWith;

// The catalogue's two rich texts. The restriction text: its letters through the cp1250 font;
// centred, small, black on white.
TEST(RtfReader, TheCataloguesTexts) {
    const RtfDocument restriction = ReadRtf(RtfSourceFromWide(std::wstring(LoadString(148))));
    ASSERT_EQ(restriction.paragraphs.size(), 1u);
    const RtfParagraph& centred = restriction.paragraphs[0];
    EXPECT_EQ(centred.Text(), L"Pentru a continua vă rugăm să dați click pe butonul de mai jos:");
    const RtfRun& first = centred.runs.at(0);
    EXPECT_TRUE(centred.alignment == RtfAlignment::Centre && first.halfPoints == 19 &&
                first.color == RtfColor{} && first.highlight == (RtfColor{255, 255, 255}));

    // The old-driver text, with its link.
    const RtfDocument doc = ReadRtf(RtfSourceFromWide(OldDriverText()));
    ASSERT_EQ(doc.paragraphs.size(), 3u);
    EXPECT_TRUE(doc.paragraphs[1].runs.empty());
    const RtfParagraph& p = doc.paragraphs[2];
    EXPECT_EQ(p.spaceAfterTwips, 200);
    EXPECT_EQ(p.lineSpacing, 276);
    EXPECT_TRUE(p.lineMultiple);
    EXPECT_THAT(p.Text(), StartsWith(L"Accesați acest link https://"));
    const auto linked = [](const RtfRun& run) { return !run.link.empty(); };
    ASSERT_EQ(std::ranges::count_if(p.runs, linked), 1);
    const RtfRun& link = *std::ranges::find_if(p.runs, linked);
    EXPECT_EQ(link.link, QUORVANE_SUPPORT_URL_FOR_TESTS);
    EXPECT_EQ(std::wstring(link.link.begin(), link.link.end()), link.text);
    EXPECT_NE(p.Text().find(L"Quorvane Enroll și reluați pasul de generare"), std::wstring::npos);
}

TEST(RtfReader, BrokenInputReadsToSomeText) {
    const struct {
        std::string source;
        std::wstring text;
    } cases[] = {
        {"", L""},
        {"}}}{{{", L""},
        {"{\\rtf1 a\\'zzb\\'e", L"azzb"},
        {"{\\rtf1\\unknownword12345 x\\u-3?y}", L"x\uFFFDy"},  // -3 is U+FFFD
        {"\\u55357?\\u56832?", L"\U0001F600"},
        {"\\u56832?a\\u55357?", L"\uFFFDa\uFFFD"},
        {"a{\\*\\anything {\\par nested} x}y\\", L"ay"},
        {"{a}b", L"a"},
        {"{\\field{\\*\\fldinst{HYPERLINK \"}}{\\fldrslt{z}}}", L"z"},
        {"\\fs999999999999999999 a\\uc99999 \\u66?bb", L"aB"},
        {std::string(100000, '{') + "deep" + std::string(3, '}'), L"deep"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.substr(0, 60));
        EXPECT_EQ(ReadRtf(c.source).Text(), c.text);
    }
}

}  // namespace
}  // namespace qe
