#include "token/module_list.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "token/config_store.h"
#include "token/p11kit_modules.h"

#ifndef QE_LIBRARY_ARCHITECTURE
#define QE_LIBRARY_ARCHITECTURE "x86_64-linux-gnu"
#endif

namespace qe {
namespace {

std::string UserModuleKey() {
    return UserConfigHome() + "/" + kModuleKeyPath;
}

// The file a path names, links resolved; the path itself when it names nothing.
std::string RealPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return ec ? path : real.string();
}

std::string JoinModuleValue(const std::vector<std::string>& names) {
    std::string data;
    for (const std::string& name : names) {
        data += name;
        data += '\n';
    }
    return data;
}

}  // namespace

std::vector<std::string> SplitModuleValue(const std::string& data) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find_first_of(std::string_view("\n\0", 2), start);
        if (end == std::string::npos) {
            end = data.size();
        }
        std::string name = data.substr(start, end - start);
        if (!name.empty() && name.back() == '\r') {
            name.pop_back();
        }
        if (name.empty()) {
            break;
        }
        names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

VendorLibraryLayout DefaultVendorLibraryLayout() {
    const std::string arch = QE_LIBRARY_ARCHITECTURE;
    VendorLibraryLayout layout;
    for (const std::string root : {"/usr/lib", "/lib", "/usr/local/lib"}) {
        if (!arch.empty()) {
            layout.folders.push_back(root + "/" + arch);
        }
        layout.folders.push_back(root);
    }
    // Folders of their own some makers' installers use.
    for (const char* own : {"/usr/lib64", "/usr/lib/pkcs11", "/usr/local/lib/pkcs11",
                            "/usr/lib/ClassicClient", "/usr/local/AWP/lib"}) {
        layout.folders.emplace_back(own);
    }
    layout.names = {"libeTPkcs11.so",    "libASEP11.so", "libgclib.so",
                    "libOcsCryptoki.so", "libcmP11.so",  "libcvP11.so"};
    return layout;
}

std::vector<VendorLibrary> FindVendorLibraries(const VendorLibraryLayout& layout,
                                               const std::vector<std::string>& registered) {
    std::set<std::string> registeredFiles;
    for (const std::string& path : registered) {
        registeredFiles.insert(RealPath(path));
    }
    std::vector<VendorLibrary> found;
    std::set<std::string> seen;
    for (const std::string& name : layout.names) {
        for (const std::string& folder : layout.folders) {
            const std::string path = folder + "/" + name;
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) {
                continue;
            }
            const std::string real = RealPath(path);
            if (seen.insert(real).second) {
                found.push_back({path, registeredFiles.count(real) != 0});
            }
            break;
        }
    }
    return found;
}

std::vector<std::string> BuiltInModuleList(const P11KitLayout& p11kit,
                                           const VendorLibraryLayout& vendors) {
    std::vector<std::string> names = RegisteredP11KitModules(p11kit);
    for (const VendorLibrary& library : FindVendorLibraries(vendors, names)) {
        if (!library.registered) {
            names.push_back(library.path);
        }
    }
    bool hasFallback = false;
    for (const std::string& name : names) {
        hasFallback = hasFallback || std::filesystem::path(name).filename() == kFallbackModule;
    }
    if (!hasFallback) {
        names.emplace_back(kFallbackModule);
    }
    return names;
}

std::vector<std::string> BuiltInModuleList() {
    return BuiltInModuleList(DefaultP11KitLayout(), DefaultVendorLibraryLayout());
}

std::vector<std::string> CReg::ModuleList() {
    std::string data;
    if (ReadConfigValue(UserModuleKey(), kModuleValueName, data) == 0 && !data.empty()) {
        return SplitModuleValue(data);
    }
    if (WriteDefaultModules() != 0) {
        return BuiltInModuleList();
    }
    data.clear();
    if (ReadConfigValue(UserModuleKey(), kModuleValueName, data) != 0 || data.empty()) {
        return BuiltInModuleList();
    }
    return SplitModuleValue(data);
}

int CReg::WriteDefaultModules() {
    if (CopyMachineKey(kModuleKeyPath) == 0) {
        return 0;
    }
    return WriteConfigValue(UserModuleKey(), kModuleValueName,
                            JoinModuleValue(BuiltInModuleList()));
}

ModuleListOrigin InspectModuleList() {
    // The copy leaves out values larger than this, and then the built-in list is used.
    constexpr std::size_t kMaxCopiedValue = 16383;
    ModuleListOrigin origin;
    std::string data;
    const std::string user = UserModuleKey();
    if (ReadConfigValue(user, kModuleValueName, data) == 0 && !data.empty()) {
        origin.source = ModuleListSource::User;
        origin.path = user + "/" + kModuleValueName;
        origin.names = SplitModuleValue(data);
        return origin;
    }
    data.clear();
    const std::string machine = MachineConfigHome() + "/" + kModuleKeyPath;
    if (ReadConfigValue(machine, kModuleValueName, data) == 0 && !data.empty() &&
        data.size() <= kMaxCopiedValue) {
        origin.source = ModuleListSource::MachineWide;
        origin.path = machine + "/" + kModuleValueName;
        origin.names = SplitModuleValue(ExpandDollarOnce(data));
        return origin;
    }
    origin.names = BuiltInModuleList();
    return origin;
}

int CReg::CopyMachineKey(const std::string& keyPath) {
    // The module list is a multi-string, copied as it stands; only string values are expanded.
    return CopyConfigKey(MachineConfigHome() + "/" + keyPath, UserConfigHome() + "/" + keyPath,
                         {kModuleValueName});
}

}  // namespace qe
