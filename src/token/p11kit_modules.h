#pragma once

#include <string>
#include <vector>

namespace qe {

// Where p11-kit keeps its module registry on this system.
struct P11KitLayout {
    // Directories of *.module files, lowest precedence first; a file in a later directory
    // replaces the file of the same name in an earlier one.
    std::vector<std::string> configDirs;
    // The directory relative module paths are taken from.
    std::string moduleDir;
};

// The layout p11-kit was built with: its package and system module directories, the user's
// ~/.config/pkcs11/modules, and its module directory.
P11KitLayout DefaultP11KitLayout();

// The token libraries registered with p11-kit, in p11-kit's order (higher "priority" first, then
// by module name), each as a path to load: relative "module:" paths are taken from the module
// directory. Left out: p11-kit's own trust and client modules, entries without "module:", and
// modules disabled for this program by "enable-in"/"disable-in". Unreadable directories and
// files count as empty.
std::vector<std::string> RegisteredP11KitModules(const P11KitLayout& layout);

}  // namespace qe
