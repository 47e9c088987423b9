#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "doctor/child_process.h"

namespace qe {

// The portal's links and the desktop file the package installs for them.
inline constexpr const char* kLinkMimeType = "x-scheme-handler/quorvaneenroll";
inline constexpr const char* kOwnDesktopFile = "quorvane-enroll.desktop";
inline constexpr const char* kWizardProgram = "quorvane-enroll";
// The xdg-utils scripts only read a few files; one that takes longer is stuck.
inline constexpr std::chrono::seconds kDesktopToolTimeout{10};

// What one xdg-utils query answered.
struct ToolAnswer {
    std::string tool;    // "xdg-mime"
    bool found = false;  // on PATH
    ChildRun run;
    std::string value;  // the first line of its output, trimmed
};

// A desktop file by its id, as the data directories hold it.
struct DesktopFile {
    std::string id;
    std::string path;  // the first data directory's that holds it; empty when none does
    std::string exec;  // its Exec= value
    // Exec's program past "env" and its NAME=value words, and that program's real path (looked
    // up on PATH when it has no '/'); empty when it is not there.
    std::string program;
    std::string resolved;
    bool takesLink = false;  // a %u or %U argument
};

// An applications folder whose mimeinfo.cache names desktop files for the links.
struct CacheEntry {
    std::string dir;
    std::vector<std::string> ids;
    std::vector<std::string> missing;  // ids the folder does not hold: a stale cache
};

struct LinkHandlerCheck {
    std::string program;  // this installation's wizard (real path); empty when none was found
    bool besideDoctor = false;
    std::string doctorDir;
    std::vector<std::string> applicationDirs;  // the user's first, in the order they count
    ToolAnswer handler;                        // xdg-mime query default
    DesktopFile handlerFile;  // the handler's, or the package's when xdg-mime did not answer
    DesktopFile ownFile;      // the package's
    std::vector<CacheEntry> caches;
    std::string userDefaults;  // the user's mimeapps.list
    std::string userHandler;   // what it names for the links, first only
    ToolAnswer browser;        // xdg-settings get default-web-browser
    DesktopFile browserFile;
};

// Reads the desktop's registration of the links and the default browser, with this process's
// environment. `doctorProgram` is the doctor's own program: the wizard beside it is this
// installation's, else the one on PATH.
LinkHandlerCheck CheckLinkHandler(const std::string& doctorProgram);

// The applications folders in the XDG base directory order: $XDG_DATA_HOME (default
// $HOME/.local/share), then each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share), with
// relative ones left out.
std::vector<std::string> ApplicationDirs();

enum class BrowserKind { Host, Snap, Flatpak };

// Whether a browser is confined, and what tells it ("runs /snap/bin/firefox").
BrowserKind KindOfBrowser(const DesktopFile& browser, std::string& evidence);

}  // namespace qe
