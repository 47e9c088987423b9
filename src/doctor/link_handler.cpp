#include "doctor/link_handler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace qe {
namespace {

// Desktop files, caches and mimeapps.list are small; more than this is not one of them.
constexpr std::size_t kMaxKeyFile = 1 << 20;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> SplitOn(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, separator);) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

std::string Trimmed(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return start == std::string::npos ? "" : text.substr(start, end - start + 1);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string RealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                           &std::free);
    return real != nullptr ? real.get() : "";
}

// A program as a launcher finds it: a name without '/' on PATH, any other as given.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return IsExecutableFile(name) ? RealPath(name) : "";
    }
    const char* path = std::getenv("PATH");
    for (const std::string& dir :
         SplitOn(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin", ':')) {
        if (const std::string candidate = dir + "/" + name; IsExecutableFile(candidate)) {
            return RealPath(candidate);
        }
    }
    return "";
}

// The value of `key` in `group` of a desktop-style key file; nothing when either is missing.
std::optional<std::string> KeyFileValue(const std::string& path, const std::string& group,
                                        const std::string& key) {
    // Only a regular file: a FIFO would hold the report up.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kMaxKeyFile) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string line;
    bool inGroup = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '[') {
            inGroup = line == "[" + group + "]";
        } else if (inGroup && line.rfind(key, 0) == 0) {
            const std::string rest = line.substr(key.size());
            const std::size_t equals = rest.find('=');
            if (equals != std::string::npos && Trimmed(rest.substr(0, equals)).empty()) {
                return Trimmed(rest.substr(equals + 1));
            }
        }
    }
    return std::nullopt;
}

// Exec's arguments: blanks separate them, double quotes hold blanks and backslash escapes.
std::vector<std::string> ExecWords(const std::string& exec) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            word += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

DesktopFile FindDesktopFile(const std::string& id, const std::vector<std::string>& dirs) {
    DesktopFile file;
    file.id = id;
    // An id is a file name; one with a '/' or a dot folder names no desktop file.
    if (id.empty() || id.find('/') != std::string::npos || id == "." || id == "..") {
        return file;
    }
    for (const std::string& dir : dirs) {
        struct stat info {};
        if (stat((dir + "/" + id).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            file.path = dir + "/" + id;
            break;
        }
    }
    if (file.path.empty()) {
        return file;
    }
    file.exec = KeyFileValue(file.path, "Desktop Entry", "Exec").value_or("");
    const std::vector<std::string> words = ExecWords(file.exec);
    auto word = words.begin();
    if (word != words.end() && *word == "env") {
        ++word;
        while (word != words.end() && word->find('=') != std::string::npos) {
            ++word;
        }
    }
    if (word != words.end()) {
        file.program = *word;
        file.resolved = FindProgram(file.program);
    }
    file.takesLink = std::find(word, words.end(), "%u") != words.end() ||
                     std::find(word, words.end(), "%U") != words.end();
    return file;
}

ToolAnswer Ask(const std::string& tool, const std::vector<std::string>& arguments) {
    ToolAnswer answer;
    answer.tool = tool;
    const std::string path = FindProgram(tool);
    answer.found = !path.empty();
    if (!answer.found) {
        return answer;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    answer.run = RunChild(argv, kDesktopToolTimeout);
    if (answer.run.end == ChildRun::End::Exited && answer.run.code == 0) {
        answer.value = Trimmed(answer.run.output.substr(0, answer.run.output.find('\n')));
    }
    return answer;
}

}  // namespace

std::vector<std::string> ApplicationDirs() {
    std::string home = Environment("XDG_DATA_HOME");
    if (home.empty() || home.front() != '/') {
        home = Environment("HOME") + "/.local/share";
    }
    std::string system = Environment("XDG_DATA_DIRS");
    if (system.empty()) {
        system = "/usr/local/share:/usr/share";
    }
    std::vector<std::string> dirs{home};
    for (const std::string& dir : SplitOn(system, ':')) {
        if (dir.front() == '/') {
            dirs.push_back(dir);
        }
    }
    for (std::string& dir : dirs) {
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        dir += "/applications";
    }
    return dirs;
}

BrowserKind KindOfBrowser(const DesktopFile& browser, std::string& evidence) {
    const std::vector<std::string> words = ExecWords(browser.exec);
    const auto flatpak = std::find_if(words.begin(), words.end(), [](const std::string& word) {
        return word == "flatpak" || word.ends_with("/flatpak");
    });
    if (flatpak != words.end() && flatpak + 1 != words.end() && flatpak[1] == "run") {
        evidence = "it runs \"flatpak run\"";
        return BrowserKind::Flatpak;
    }
    if (browser.path.find("/flatpak/exports/share/applications/") != std::string::npos) {
        evidence = "its desktop file is one flatpak exports";
        return BrowserKind::Flatpak;
    }
    if (browser.program.rfind("/snap/bin/", 0) == 0) {
        evidence = "it runs " + browser.program;
        return BrowserKind::Snap;
    }
    if (browser.path.rfind("/var/lib/snapd/desktop/applications/", 0) == 0) {
        evidence = "its desktop file is one snapd exports";
        return BrowserKind::Snap;
    }
    if (browser.id.find('_') != std::string::npos) {
        evidence = "its desktop file is named snap_app.desktop, as snaps name theirs";
        return BrowserKind::Snap;
    }
    return BrowserKind::Host;
}

LinkHandlerCheck CheckLinkHandler(const std::string& doctorProgram) {
    LinkHandlerCheck check;
    const std::string doctor = RealPath(doctorProgram);
    check.doctorDir = doctor.substr(0, doctor.rfind('/'));
    if (!doctor.empty() && IsExecutableFile(check.doctorDir + "/" + kWizardProgram)) {
        check.program = RealPath(check.doctorDir + "/" + kWizardProgram);
        check.besideDoctor = true;
    } else {
        check.program = FindProgram(kWizardProgram);
    }
    check.applicationDirs = ApplicationDirs();
    check.handler = Ask("xdg-mime", {"query", "default", kLinkMimeType});
    check.ownFile = FindDesktopFile(kOwnDesktopFile, check.applicationDirs);
    const bool answered = check.handler.found && check.handler.run.end == ChildRun::End::Exited &&
                          check.handler.run.code == 0;
    check.handlerFile =
        answered ? FindDesktopFile(check.handler.value, check.applicationDirs) : check.ownFile;
    for (const std::string& dir : check.applicationDirs) {
        if (const auto ids = KeyFileValue(dir + "/mimeinfo.cache", "MIME Cache", kLinkMimeType)) {
            CacheEntry entry{dir, SplitOn(*ids, ';'), {}};
            for (const std::string& id : entry.ids) {
                if (access((dir + "/" + id).c_str(), F_OK) != 0) {
                    entry.missing.push_back(id);
                }
            }
            check.caches.push_back(std::move(entry));
        }
    }
    std::string config = Environment("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/') {
        config = Environment("HOME") + "/.config";
    }
    check.userDefaults = config + "/mimeapps.list";
    const auto named = KeyFileValue(check.userDefaults, "Default Applications", kLinkMimeType);
    check.userHandler = named ? Trimmed(named->substr(0, named->find(';'))) : "";
    check.browser = Ask("xdg-settings", {"get", "default-web-browser"});
    if (!check.browser.value.empty()) {
        check.browserFile = FindDesktopFile(check.browser.value, check.applicationDirs);
    }
    return check;
}

}  // namespace qe
