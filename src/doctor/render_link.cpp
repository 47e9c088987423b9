#include <algorithm>
#include <string>

#include "doctor/report_sections.h"

namespace qe {
namespace {

constexpr const char* kReinstall = "sudo apt-get install --reinstall quorvane-enroll";

std::string Folder(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// A path as a shell takes it, for commands support copies.
std::string ShellWord(const std::string& text) {
    const bool plain = !text.empty() && text.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789/._-+") == std::string::npos;
    if (plain) {
        return text;
    }
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return Printable(quoted + "'");
}

// The folder of the user's own desktop files needs no root to change.
std::string UpdateDatabase(const LinkHandlerCheck& check, const std::string& dir) {
    const bool user = !check.applicationDirs.empty() && dir == check.applicationDirs.front();
    return std::string(user ? "" : "sudo ") + "update-desktop-database " + ShellWord(dir);
}

// Why a query has no answer; empty when it has one.
std::string ToolFailure(const ToolAnswer& answer) {
    if (!answer.found) {
        return "not checked: " + answer.tool + " is not installed (package xdg-utils)";
    }
    if (answer.run.end == ChildRun::End::Exited && answer.run.code != 0) {
        return "unknown: " + answer.tool + " ended with exit status " +
               std::to_string(answer.run.code);
    }
    if (answer.run.end != ChildRun::End::Exited) {
        return "unknown: " + answer.tool + " " + ChildEndText(answer.run, kDesktopToolTimeout);
    }
    return "";
}

// Whether the file starts this installation's wizard with the link; `text` says what it starts.
// Paths are compared as the doctor's own PATH finds them; a session's PATH seldom differs.
bool RunsWizard(const DesktopFile& file, const std::string& program, std::string& text) {
    if (file.program.empty()) {
        text = "nothing: it has no Exec= program";
        return false;
    }
    if (file.resolved.empty()) {
        text = Printable(file.program) + (file.program.find('/') != std::string::npos
                                              ? ", which is not there"
                                              : ", which is not on PATH");
        return false;
    }
    if (!program.empty() && file.resolved != program) {
        text = Printable(file.resolved) + ", not this installation's " + Printable(program);
        return false;
    }
    if (!file.takesLink) {
        text = Printable(file.resolved) + " without the link (no %u or %U in Exec=)";
        return false;
    }
    text = program.empty() ? Printable(file.resolved) + ", with the link"
                           : "this installation's program, with the link";
    return true;
}

// Whether update-desktop-database has listed the file for the links in its folder's cache.
void RenderDatabase(const LinkHandlerCheck& check, const DesktopFile& file, ReportWriter& out) {
    const auto cache =
        std::find_if(check.caches.begin(), check.caches.end(),
                     [&](const CacheEntry& c) { return c.dir == Folder(file.path); });
    const std::string database = Printable(Folder(file.path)) + "/mimeinfo.cache";
    if (cache != check.caches.end() &&
        std::find(cache->ids.begin(), cache->ids.end(), file.id) != cache->ids.end()) {
        out.Field(1, "desktop database", database + " lists it");
    } else {
        out.Field(1, "desktop database", database + " does not list it for the links");
        out.Field(2, "fix", UpdateDatabase(check, Folder(file.path)));
    }
}

void RenderHandlerFile(const LinkHandlerCheck& check, const std::string& handlerFix,
                       ReportWriter& out) {
    const DesktopFile& file = check.handlerFile;
    if (file.path.empty()) {
        out.Field(1, "desktop file",
                  Printable(file.id) + " is in none of " + Printable(Join(check.applicationDirs)));
        out.Field(2, "fix", handlerFix);
        return;
    }
    out.Field(1, "desktop file", Printable(file.path));
    out.Field(1, "Exec", Printable(file.exec));
    std::string text;
    const bool works = RunsWizard(file, check.program, text);
    out.Field(1, "runs", text);
    if (works) {
        RenderDatabase(check, file, out);
    } else {
        // A copy of the package's file in the user's folder hides the package's own.
        const bool userCopy = file.id == kOwnDesktopFile && !check.applicationDirs.empty() &&
                              Folder(file.path) == check.applicationDirs.front();
        out.Field(2, "fix",
                  file.id != kOwnDesktopFile ? handlerFix
                  : userCopy                 ? "rm " + ShellWord(file.path)
                                             : std::string(kReinstall));
    }
}

void RenderBrowser(const LinkHandlerCheck& check, const std::string& setDefault,
                   ReportWriter& out) {
    const std::string failure = ToolFailure(check.browser);
    if (!failure.empty() || check.browser.value.empty()) {
        out.Field(0, "default browser", failure.empty() ? "none set" : failure);
        return;
    }
    const DesktopFile& browser = check.browserFile;
    out.Field(0, "default browser", Printable(check.browser.value));
    out.Field(1, "desktop file",
              browser.path.empty() ? "not in the data directories" : Printable(browser.path));
    if (!browser.path.empty()) {
        out.Field(1, "Exec", Printable(browser.exec));
    }
    std::string evidence;
    const BrowserKind kind = KindOfBrowser(browser, evidence);
    if (kind == BrowserKind::Host) {
        out.Field(1, "kind", "a program of this system: it opens links with the handler above");
        return;
    }
    out.Field(
        1, "kind",
        std::string(kind == BrowserKind::Snap ? "a snap" : "a flatpak") + " (" + evidence + ")");
    out.Line(1,
             "A confined browser cannot start programs of this system. It hands quorvaneenroll://");
    out.Line(1, "links to the XDG desktop portal (OpenURI), which opens them with the handler");
    out.Line(1, "registered for the user (xdg-mime) and may ask the user first.");
    if (kind == BrowserKind::Snap) {
        out.Line(1,
                 "snapd's own launcher, which some snaps use instead, opens only the schemes on");
        out.Line(1, "its list; quorvaneenroll is not among them.");
    }
    if (check.userHandler.empty()) {
        out.Field(1, "registered for the user",
                  "no: " + Printable(check.userDefaults) + " names no handler for the links");
        out.Field(2, "fix", setDefault);
    } else {
        out.Field(1, "registered for the user",
                  Printable(check.userHandler) + " in " + Printable(check.userDefaults));
    }
    out.Field(1, "portal running", "check with: systemctl --user status xdg-desktop-portal");
    out.Field(1, "links still not opening",
              "copy the link from the portal page and run: quorvane-enroll 'LINK'");
}

}  // namespace

void RenderLinkHandler(const LinkHandlerCheck& check, ReportWriter& out) {
    out.Section("Link handler");
    if (check.program.empty()) {
        out.Field(0, "program",
                  "not found: none beside the doctor in " + Printable(check.doctorDir) +
                      " and none on PATH");
        out.Field(1, "fix", kReinstall);
    } else {
        out.Field(
            0, "program",
            Printable(check.program) + (check.besideDoctor ? " (beside the doctor)"
                                                           : " (on PATH; none beside the doctor)"));
    }
    std::string ownText;
    const bool ownWorks =
        !check.ownFile.path.empty() && RunsWizard(check.ownFile, check.program, ownText);
    const std::string setDefault =
        std::string("xdg-mime default ") + kOwnDesktopFile + " " + kLinkMimeType;
    const std::string handlerFix = ownWorks ? setDefault : kReinstall;

    const std::string failure = ToolFailure(check.handler);
    if (!failure.empty()) {
        out.Field(0, "default handler", failure);
        out.Line(1, std::string("what follows is of the package's ") + kOwnDesktopFile);
    } else if (check.handler.value.empty()) {
        out.Field(0, "default handler", "none: quorvaneenroll:// links open nothing");
        out.Field(1, "fix", handlerFix);
    } else {
        out.Field(0, "default handler", Printable(check.handler.value));
    }
    if (!check.handlerFile.id.empty()) {
        RenderHandlerFile(check, handlerFix, out);
    }
    // Left by a removal that did not refresh the database: it still names the file.
    for (const CacheEntry& cache : check.caches) {
        if (!cache.missing.empty()) {
            out.Field(0, "stale desktop database",
                      Printable(cache.dir) + "/mimeinfo.cache names " +
                          Printable(Join(cache.missing)) + ", not there");
            out.Field(1, "fix", UpdateDatabase(check, cache.dir));
        }
    }
    RenderBrowser(check, setDefault, out);
}

}  // namespace qe
