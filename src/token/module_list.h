#pragma once

#include <string>
#include <vector>

#include "token/p11kit_modules.h"

namespace qe {

// The settings key of the module list, below the user's (or the machine's) configuration home,
// and the name of its value: one library name a line, the first empty line ending the list.
inline constexpr const char* kModuleKeyPath = "Nolt/zelenroll/PKCS11Modules";
inline constexpr const char* kModuleValueName = "PKCS11Modules";

// The library tried when nothing else names one.
inline constexpr const char* kFallbackModule = "opensc-pkcs11.so";

// The module list's settings: the user's list of PKCS#11 libraries, seeded from the machine-wide
// copy or from the built-in list. Status results are 0 or an errno value.
class CReg {
public:
    virtual ~CReg() = default;

    // The ordered library names: the user's stored list when it is there and not empty (a list
    // whose first line is empty yields no names); otherwise the list is written first
    // (WriteDefaultModules) and read again; when that fails too, the built-in list.
    std::vector<std::string> ModuleList();

    // Fills the user's module value: from the machine-wide key when CopyMachineKey succeeds,
    // otherwise with the built-in list. Returns 0 or the errno of the failed write.
    int WriteDefaultModules();

    // Copies the machine-wide key `keyPath` (below the machine configuration home) with its
    // subkeys and values into the user's configuration home, expanding "$NAME" once in each
    // string value; the module list, a multi-string, is copied unchanged. Returns the error of
    // opening the machine key, or the status of the last value written.
    int CopyMachineKey(const std::string& keyPath);
};

// Where makers' installers put their token libraries without registering them with p11-kit.
struct VendorLibraryLayout {
    std::vector<std::string> folders;  // searched in this order
    std::vector<std::string> names;    // the libraries' file names, in this order
};

// The system's library folders (this build's multiarch ones first) and the makers' own folders,
// with the Linux names of the vendors' token libraries.
VendorLibraryLayout DefaultVendorLibraryLayout();

// A maker's library found on this system: the first folder holding the name wins.
struct VendorLibrary {
    std::string path;
    bool registered = false;  // p11-kit's registry names the same file
};

// The vendors' libraries present, in the layout's name order, each file once (by its real path:
// /lib and /usr/lib are often one folder), with whether one of `registered` is that file.
std::vector<VendorLibrary> FindVendorLibraries(const VendorLibraryLayout& layout,
                                               const std::vector<std::string>& registered);

// The built-in list: the token libraries registered with p11-kit, in its order; then the vendors'
// libraries present that p11-kit does not name; then kFallbackModule unless a library already
// listed has that file name.
std::vector<std::string> BuiltInModuleList(const P11KitLayout& p11kit,
                                           const VendorLibraryLayout& vendors);
std::vector<std::string> BuiltInModuleList();

// Where the module list comes from, found without writing anything: the user's stored list;
// otherwise the machine-wide list the wizard would copy on its next run (expanded as the copy
// expands it); otherwise the built-in list. `path` is the value file read (empty for built-in).
enum class ModuleListSource { User, MachineWide, BuiltIn };
struct ModuleListOrigin {
    ModuleListSource source = ModuleListSource::BuiltIn;
    std::string path;
    std::vector<std::string> names;
};
ModuleListOrigin InspectModuleList();

// Splits a stored module value into names: lines end at "\n" (a "\r" before it is dropped) or a
// zero byte, and the first empty name ends the list.
std::vector<std::string> SplitModuleValue(const std::string& data);

}  // namespace qe
