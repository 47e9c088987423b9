// The doctor's parts without a token: report text, the token overview, child processes, the log
// tail, and the link handler as the desktop has it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <list>
#include <regex>

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

// The real xdg-mime, xdg-settings and update-desktop-database on isolated XDG directories: "s"
// stands for /usr/share, "snap" for /var/lib/snapd/desktop, "fp" for flatpak's exports. Each row
// sets a desktop up (sh, in $R) and names report lines and how many fixes it must give.
TEST(LinkHandlerTest, RegistrationAndBrowserAsTheDesktopHasThem) {
    const std::string good =
        "desk s quorvane-enroll.desktop 'quorvane-enroll %u' "
        "x-scheme-handler/quorvaneenroll; update-desktop-database $S;";
    const std::string fix =
        "    fix: xdg-mime default quorvane-enroll.desktop x-scheme-handler/quorvaneenroll";
    struct Case {
        std::string script;
        std::vector<std::string> lines;
        long fixes;
        const char* path = nullptr;  // PATH when the report is made
    };
    const Case cases[] = {
        {good + "desk s web.desktop 'web %u' x-scheme-handler/http; update-desktop-database $S",
         {"program: $R/bin/quorvane-enroll (beside the doctor)",
          "default handler: quorvane-enroll.desktop", "  desktop file: $S/quorvane-enroll.desktop",
          "  runs: this installation's program, with the link",
          "  desktop database: $S/mimeinfo.cache lists it", "default browser: web.desktop",
          "  desktop file: $S/web.desktop",
          "  kind: a program of this system: it opens links with the handler above"},
         0},
        {"mkdir p; mv bin/quorvane-enroll p",
         {"program: $R/p/quorvane-enroll (on PATH; none beside the doctor)",
          "default handler: none: quorvaneenroll:// links open nothing"},
         1},
        {good + "rm $S/quorvane-enroll.desktop",
         {"  desktop file: quorvane-enroll.desktop is in none of $R/d/applications, $S, "
          "$R/snap/applications, $R/fp/applications",
          "    fix: sudo apt-get install --reinstall quorvane-enroll",
          "stale desktop database: $S/mimeinfo.cache names quorvane-enroll.desktop, not there",
          "  fix: sudo update-desktop-database $S"},
         2},
        // The package's own file changed: only a reinstallation puts it right.
        {"desk s quorvane-enroll.desktop '\"'$R/other'\" %u' x-scheme-handler/quorvaneenroll",
         {"    fix: sudo apt-get install --reinstall quorvane-enroll"},
         1},
        {good + "desk d quorvane-enroll.desktop '\"'$R/other'\" %u' x",
         {"  runs: $R/other, not this installation's $R/bin/quorvane-enroll",
          "    fix: rm $R/d/applications/quorvane-enroll.desktop"},
         1},
        {good + "desk d old.desktop quorvane-enroll x-scheme-handler/quorvaneenroll;"
                "xdg-mime default old.desktop x-scheme-handler/quorvaneenroll",
         {"  runs: $R/bin/quorvane-enroll without the link (no %u or %U in Exec=)", fix},
         1},
        {"desk d quorvane-enroll.desktop 'quorvane-enroll %u' x-scheme-handler/quorvaneenroll",
         {"  desktop database: $R/d/applications/mimeinfo.cache does not list it for the links",
          "    fix: update-desktop-database $R/d/applications"},
         1},
        {good + "desk fp org.web.Web.desktop '/usr/bin/flatpak run org.web.Web %u' "
                "x-scheme-handler/http; update-desktop-database fp/applications",
         {"  kind: a flatpak (it runs \"flatpak run\")",
          "  links to the XDG desktop portal (OpenURI), which opens them with the handler",
          "  registered for the user: no: $R/c/mimeapps.list names no handler for the links", fix},
         1},
        {good + "desk snap web_web.desktop 'env BAMF_DESKTOP_FILE_HINT=x /snap/bin/web %U' "
                "x-scheme-handler/http; xdg-mime default web_web.desktop x-scheme-handler/http;"
                "xdg-mime default quorvane-enroll.desktop x-scheme-handler/quorvaneenroll",
         {"  kind: a snap (it runs /snap/bin/web)",
          "  snapd's own launcher, which some snaps use instead, opens only the schemes on",
          "  portal running: check with: systemctl --user status xdg-desktop-portal",
          "  registered for the user: quorvane-enroll.desktop in $R/c/mimeapps.list"},
         0},
        {"",
         {"default handler: not checked: xdg-mime is not installed (package xdg-utils)",
          "default browser: not checked: xdg-settings is not installed (package xdg-utils)"},
         1,
         "/nonexistent"},
    };
    for (const Case& c : cases) {
        const test::ScopedDir root("links");
        const std::string& r = root.path();
        const auto expand = [&r](const std::string& line) {
            const std::string s =
                std::regex_replace(line, std::regex("\\$S"), r + "/s/applications");
            return std::regex_replace(s, std::regex("\\$R"), r);
        };
        const std::pair<const char*, std::string> environment[] = {
            {"HOME", r},
            {"XDG_DATA_HOME", r + "/d"},
            {"XDG_DATA_DIRS", r + "/s:" + r + "/snap:" + r + "/fp"},
            {"XDG_CONFIG_HOME", r + "/c"},
            {"XDG_CONFIG_DIRS", r + "/cd"},
            {"PATH", r + "/bin:" + r + "/p:/usr/bin:/bin"},  // the set-up's; the report's below
            {"R", r},
            {"S", r + "/s/applications"}};
        std::list<test::ScopedEnv> scoped;
        for (const auto& [name, value] : environment) {
            scoped.emplace_back(name, value.c_str());
        }
        for (const char* name : {"XDG_CURRENT_DESKTOP", "BROWSER", "DBUS_SESSION_BUS_ADDRESS"}) {
            scoped.emplace_back(name, nullptr);
        }
        const std::string setUp =
            "set -e; cd \"$R\"; mkdir -p bin c d/applications s/applications snap/applications "
            "fp/applications && touch bin/doctor && printf '#!/bin/sh\\n' > other && "
            "chmod +x other && cp other bin/quorvane-enroll && desk() { printf '[Desktop Entry]"
            "\\nType=Application\\nName=%s\\nExec=%s\\nMimeType=%s;\\n' \"$2\" \"$3\" \"$4\" > "
            "\"$1/applications/$2\"; }; " +
            c.script;
        const ChildRun run = RunChild({"/bin/sh", "-c", setUp}, std::chrono::seconds(30));
        ASSERT_TRUE(run.end == ChildRun::End::Exited && run.code == 0) << c.script;
        // The test's own directories before the system's, where the package may be installed.
        const std::string path = c.path != nullptr ? c.path : r + "/bin:" + r + "/p:/usr/bin:/bin";
        const test::ScopedEnv reportPath("PATH", path.c_str());
        ReportWriter out;
        RenderLinkHandler(CheckLinkHandler(r + "/bin/doctor"), out);
        const std::vector<std::string> lines = test::SplitLines(out.text());
        SCOPED_TRACE(c.script + "\n" + out.text());
        for (const std::string& line : c.lines) {
            EXPECT_THAT(lines, testing::Contains(expand(line)));
        }
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.find("fix: ") != l.npos; }),
                  c.fixes);
    }
}

}  // namespace
}  // namespace qe
