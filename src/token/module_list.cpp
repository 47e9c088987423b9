#include "token/module_list.h"

#include <filesystem>

#include "token/config_store.h"
#include "token/p11kit_modules.h"

namespace qe {
namespace {

std::string UserModuleKey() {
    return UserConfigHome() + "/" + kModuleKeyPath;
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

std::vector<std::string> BuiltInModuleList() {
    std::vector<std::string> names = RegisteredP11KitModules(DefaultP11KitLayout());
    bool hasFallback = false;
    for (const std::string& name : names) {
        hasFallback = hasFallback || std::filesystem::path(name).filename() == kFallbackModule;
    }
    if (!hasFallback) {
        names.emplace_back(kFallbackModule);
    }
    return names;
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
