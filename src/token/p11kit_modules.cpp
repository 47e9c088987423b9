#include "token/p11kit_modules.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <system_error>

#include "token/config_store.h"

#ifndef QE_P11KIT_PACKAGE_MODULES
#define QE_P11KIT_PACKAGE_MODULES "/usr/share/p11-kit/modules"
#endif
#ifndef QE_P11KIT_SYSTEM_MODULES
#define QE_P11KIT_SYSTEM_MODULES "/etc/pkcs11/modules"
#endif
#ifndef QE_P11KIT_MODULE_DIR
#define QE_P11KIT_MODULE_DIR "/usr/lib/x86_64-linux-gnu/pkcs11"
#endif

namespace qe {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kModuleSuffix = ".module";
constexpr std::uintmax_t kMaxModuleFileSize = 64 * 1024;

using ModuleConfig = std::map<std::string, std::string>;

std::string Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// "key: value" lines; "#" starts a comment line.
ModuleConfig ParseModuleFile(const fs::path& path) {
    ModuleConfig config;
    std::error_code ec;
    if (fs::file_size(path, ec) > kMaxModuleFileSize || ec) {
        return config;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed.front() == '#') {
            continue;
        }
        const std::size_t colon = trimmed.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        config[Trim(std::string_view(trimmed).substr(0, colon))] =
            Trim(std::string_view(trimmed).substr(colon + 1));
    }
    return config;
}

bool ListContains(const std::string& list, std::string_view item) {
    std::stringstream parts(list);
    std::string part;
    while (std::getline(parts, part, ',')) {
        if (Trim(part) == item) {
            return true;
        }
    }
    return false;
}

bool EnabledForThisProgram(const ModuleConfig& config) {
    const std::string_view program = program_invocation_short_name;
    const auto enableIn = config.find("enable-in");
    if (enableIn != config.end() && !ListContains(enableIn->second, program)) {
        return false;
    }
    const auto disableIn = config.find("disable-in");
    return disableIn == config.end() || !ListContains(disableIn->second, program);
}

bool IsP11KitOwnModule(const std::string& modulePath) {
    const std::string file = fs::path(modulePath).filename().string();
    return file == "p11-kit-trust.so" || file == "p11-kit-client.so";
}

int Priority(const ModuleConfig& config) {
    const auto it = config.find("priority");
    return it == config.end() ? 0 : std::atoi(it->second.c_str());
}

}  // namespace

P11KitLayout DefaultP11KitLayout() {
    P11KitLayout layout;
    layout.configDirs = {QE_P11KIT_PACKAGE_MODULES, QE_P11KIT_SYSTEM_MODULES};
    const std::string userDir = UserHomeDirectory() + "/.config/pkcs11/modules";
    layout.configDirs.push_back(userDir);
    layout.moduleDir = QE_P11KIT_MODULE_DIR;
    return layout;
}

std::vector<std::string> RegisteredP11KitModules(const P11KitLayout& layout) {
    std::map<std::string, ModuleConfig> modules;  // by module name
    for (const std::string& dir : layout.configDirs) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string file = it->path().filename().string();
            if (file.size() <= kModuleSuffix.size() || !file.ends_with(kModuleSuffix) ||
                file.front() == '.') {
                continue;
            }
            modules[file.substr(0, file.size() - kModuleSuffix.size())] =
                ParseModuleFile(it->path());
        }
    }

    struct Entry {
        std::string name;
        int priority;
        std::string path;
    };
    std::vector<Entry> entries;
    for (const auto& [name, config] : modules) {
        const auto module = config.find("module");
        if (module == config.end() || module->second.empty() || !EnabledForThisProgram(config)) {
            continue;
        }
        std::string path = module->second;
        if (path.front() != '/') {
            path = layout.moduleDir + "/" + path;
        }
        if (!IsP11KitOwnModule(path)) {
            entries.push_back({name, Priority(config), path});
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.priority != b.priority ? a.priority > b.priority : a.name < b.name;
    });
    std::vector<std::string> paths;
    for (const Entry& entry : entries) {
        paths.push_back(entry.path);
    }
    return paths;
}

}  // namespace qe
