#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <list>

#include "doctor/report_sections.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

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
        const auto expand = [&r](std::string line) {
            for (const auto& [from, to] : {std::pair{"$S", r + "/s/applications"}, {"$R", r}}) {
                for (std::size_t at; (at = line.find(from)) != std::string::npos;) {
                    line.replace(at, 2, to);
                }
            }
            return line;
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
