// Where the module list comes from (the settings store, the user's and the machine's lists,
// p11-kit's registry); the token record, the names of PKCS#11 results, the token hash, and what
// a certificate gives the token objects.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>

#include "log/last_error.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"
#include "token/certificate_parts.h"
#include "token/config_store.h"
#include "token/module_list.h"
#include "token/p11kit_modules.h"
#include "token/pkcs11_call.h"
#include "token/token_hash.h"
#include "token/token_readiness.h"
#include "token/zel_token.h"
#include "toolkit/status.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using Names = std::vector<std::string>;

TEST(ConfigStoreTest, ExpansionAndHomes) {
    const ScopedEnv lib("QELIBDIR", "/opt/tokens");
    const ScopedEnv unset("QEUNSET", nullptr);
    // The run of A to Z after the first "$" only, when it names a variable that exists.
    for (const auto& [value, expanded] : {std::pair{"$QELIBDIR/lib.so", "/opt/tokens/lib.so"},
                                          {"a$QELIBDIRx", "a/opt/tokensx"},
                                          {"$QELIBDIR_$QELIBDIR", "/opt/tokens_$QELIBDIR"},
                                          {"$QEUNSET$QELIBDIR", "$QEUNSET$QELIBDIR"},
                                          {"$lower", "$lower"},
                                          {"end$", "end$"},
                                          {"none", "none"}}) {
        EXPECT_EQ(ExpandDollarOnce(value), expanded) << value;
    }
    const ScopedEnv home("HOME", "/home/ana");
    for (const auto& [configHome, configDirs, user, machine] :
         {std::tuple<const char*, const char*, const char*, const char*>{
              nullptr, nullptr, "/home/ana/.config", "/etc/xdg"},
          {"relative", "", "/home/ana/.config", "/etc/xdg"},
          {"/cfg", "rel::/first:/second", "/cfg", "/first"},
          {"", "rel:", "/home/ana/.config", "/etc/xdg"}}) {
        const ScopedEnv userHome("XDG_CONFIG_HOME", configHome);
        const ScopedEnv machineHome("XDG_CONFIG_DIRS", configDirs);
        EXPECT_EQ(UserConfigHome(), user);
        EXPECT_EQ(MachineConfigHome(), machine);
    }
    const ScopedEnv relativeHome("HOME", "relative");
    EXPECT_EQ(UserHomeDirectory().front(), '/');  // the password database's
}

TEST(ConfigStoreTest, ValuesWrittenWholeAndReadUpToTheirLimit) {
    const test::ScopedDir dir("config");
    const std::string key = dir / "key";
    std::string data = "kept";
    EXPECT_EQ(ReadConfigValue(key, "value", data), ENOENT);
    for (const std::string& value : {std::string("a\nb\n"), std::string(1 << 20, 'x')}) {
        ASSERT_EQ(WriteConfigValue(key, "value", value), 0);
        ASSERT_EQ(ReadConfigValue(key, "value", data), 0);
        EXPECT_EQ(data, value);
    }
    test::WriteFile(key + "/value", std::string((1 << 20) + 1, 'x'));
    EXPECT_EQ(ReadConfigValue(key, "value", data), EFBIG);
    EXPECT_EQ(data.size(), 1u << 20);  // as it was
    fs::create_directories(key + "/dir");
    EXPECT_EQ(ReadConfigValue(key, "dir", data), EISDIR);
    EXPECT_EQ(ReadConfigValue("/dev", "null", data), EINVAL);
    EXPECT_EQ(WriteConfigValue(key, "dir", "x"), EISDIR);
    EXPECT_EQ(WriteConfigValue(key + "/value/below", "value", "x"), ENOTDIR);
    // A write the file size limit cuts short fails, and the old value stays.
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{4096, limit.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    EXPECT_EQ(WriteConfigValue(key, "value", std::string(8192, 'y')), EFBIG);
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_EQ(test::ReadFile(key + "/value").size(), (1u << 20) + 1);
    // No temporary file is left behind, whether the write worked or not.
    EXPECT_EQ(std::distance(fs::directory_iterator(key), fs::directory_iterator()), 2);
}

TEST(ConfigStoreTest, CopyTakesSubkeysThenValuesWithinTheirLimits) {
    const ScopedEnv lib("QELIBDIR", "/opt/tokens");
    const test::ScopedDir dir("copy");
    const std::string machine = dir / "machine";
    std::string deep = machine;
    for (int depth = 1; depth <= 33; ++depth) {
        fs::create_directories(deep += "/d");
        test::WriteFile(deep + "/Level", "x");
    }
    test::WriteFile(machine + "/PKCS11Modules", "$QELIBDIR/a.so\nb.so\n");
    test::WriteFile(machine + "/Path", "$QELIBDIR");
    test::WriteFile(machine + "/Largest", std::string(16383, 'x'));
    test::WriteFile(machine + "/TooLarge", std::string(16384, 'x'));
    fs::create_symlink(machine + "/Path", machine + "/LinkedValue");
    fs::create_symlink(machine, machine + "/d/Loop");
    EXPECT_EQ(CopyConfigKey(machine, dir / "user", {"PKCS11Modules"}), 0);
    // A multi-string as it stands, string values expanded, a linked directory no subkey.
    EXPECT_EQ(test::ReadFile(dir / "user/PKCS11Modules"), "$QELIBDIR/a.so\nb.so\n");
    EXPECT_EQ(test::ReadFile(dir / "user/LinkedValue"), "/opt/tokens");
    EXPECT_EQ(test::ReadFile(dir / "user/Largest").size(), 16383u);
    EXPECT_FALSE(fs::exists(dir / "user/TooLarge") || fs::exists(dir / "user/d/Loop"));
    // The key itself is depth 0: subkeys are copied down to depth 32.
    std::string path = dir / "user";
    for (int depth = 1; depth <= 33; ++depth) {
        EXPECT_EQ(fs::exists((path += "/d") + "/Level"), depth <= 32) << depth;
    }
    EXPECT_EQ(CopyConfigKey(dir / "absent", dir / "other"), ENOENT);
    EXPECT_EQ(CopyConfigKey(machine + "/Path", dir / "other"), ENOTDIR);
    EXPECT_EQ(CopyConfigKey(machine, dir / "user/Path"), ENOTDIR);
    fs::create_directories(dir / "empty");
    EXPECT_EQ(CopyConfigKey(dir / "empty", dir / "other"), 0);
}

TEST(ModuleListTest, SplitLinesUpToTheFirstEmptyOne) {
    for (const auto& [value, names] : std::vector<std::pair<std::string, Names>>{
             {"a.so\nb.so\n", {"a.so", "b.so"}},
             {"a.so\r\nb.so", {"a.so", "b.so"}},
             {"a.so\n\nb.so\n", {"a.so"}},
             {std::string("a.so\0b.so\0\0c.so", 15), {"a.so", "b.so"}},
             {"\nb.so\n", {}},
             {"", {}},
             {"  \n#x\n", {"  ", "#x"}}}) {
        EXPECT_EQ(SplitModuleValue(value), names) << value;
    }
}

// Where the list comes from, as the doctor sees it without writing and as the wizard then uses
// it, and the user's copy it leaves behind.
TEST(ModuleListTest, UserListElseMachineCopyElseBuiltIn) {
    const ScopedEnv lib("QETOKENLIB", "/opt/token");
    const Names builtIn = BuiltInModuleList();
    const std::string largest(16382, 'a');  // with its line feed as large as a copy takes
    const auto user = ModuleListSource::User;
    const auto machine = ModuleListSource::MachineWide;
    const auto none = ModuleListSource::BuiltIn;
    // Rows: the user's value, the machine's value, where the doctor finds the list and what it
    // finds, what the wizard uses, and the user's list afterwards.
    const Names two = {"first.so", "/abs/2.so"};
    const Names raw = {"$QETOKENLIB/lib.so", "other.so"};
    const Names expanded = {"/opt/token/lib.so", "other.so"};
    const std::tuple<std::optional<std::string>, std::optional<std::string>, ModuleListSource,
                     Names, Names, Names>
        cases[] = {
            {"first.so\n/abs/2.so\n", "other.so\n", user, two, two, two},
            {"\nignored.so\n", "other.so\n", user, {}, {}, {}},
            {"", std::nullopt, none, builtIn, builtIn, builtIn},
            {std::nullopt, "$QETOKENLIB/lib.so\nother.so\n", machine, expanded, raw, raw},
            {std::nullopt, largest + "\n", machine, {largest}, {largest}, {largest}},
            {std::nullopt, largest + "a\n", none, builtIn, builtIn, {}},  // too large to copy
            {std::nullopt, "", none, builtIn, builtIn, {}},
            {std::nullopt, std::nullopt, none, builtIn, builtIn, builtIn},
        };
    for (const auto& [userValue, machineValue, source, inspected, used, stored] : cases) {
        SCOPED_TRACE(userValue.value_or("-") + "|" + machineValue.value_or("-").substr(0, 20));
        const test::ScopedDir dir("modules");
        const ScopedEnv userHome("XDG_CONFIG_HOME", (dir / "user").c_str());
        const ScopedEnv machineHome("XDG_CONFIG_DIRS", (dir / "machine").c_str());
        const std::string userKey = dir / "user/" + kModuleKeyPath;
        const std::string machineKey = dir / "machine/" + kModuleKeyPath;
        if (userValue) {
            ASSERT_EQ(WriteConfigValue(userKey, kModuleValueName, *userValue), 0);
        }
        if (machineValue) {
            ASSERT_EQ(WriteConfigValue(machineKey, kModuleValueName, *machineValue), 0);
            ASSERT_EQ(WriteConfigValue(machineKey + "/Sub", "Note", "kept"), 0);
        }
        const ModuleListOrigin origin = InspectModuleList();
        EXPECT_EQ(origin.source, source);
        EXPECT_EQ(origin.path, source == none   ? ""
                               : source == user ? userKey + "/" + kModuleValueName
                                                : machineKey + "/" + kModuleValueName);
        EXPECT_EQ(origin.names, inspected);
        EXPECT_EQ(fs::exists(userKey), userValue.has_value());  // the doctor only looks
        EXPECT_EQ(CReg().ModuleList(), used);
        EXPECT_EQ(SplitModuleValue(test::ReadFile(userKey + "/" + kModuleValueName)), stored);
        EXPECT_EQ(fs::exists(userKey + "/Sub/Note"), !userValue && machineValue);
    }
    const test::ScopedDir dir("modules");
    test::WriteFile(dir / "file", "a file where the configuration home should be");
    const ScopedEnv userHome("XDG_CONFIG_HOME", (dir / "file").c_str());
    EXPECT_EQ(CReg().ModuleList(), builtIn);
    EXPECT_EQ(CReg().WriteDefaultModules(), ENOTDIR);
}

// One registry: the package's files, the system's that replace some of them by name.
TEST(ModuleListTest, P11KitRegistryInItsOrder) {
    const test::ScopedDir dir("p11kit");
    const std::string self = program_invocation_short_name;
    fs::create_directories(dir / "package");
    fs::create_directories(dir / "system");
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {"package/zeta.module", "module: /opt/zeta.so\n"},
             {"package/alpha.module", "# comment\nmodule:   alpha-pkcs11.so  \r\n"},
             {"package/beta.module", "module: beta.so\npriority: 5\n"},
             {"package/gamma.module", "module: gamma.so\npriority: -1\n"},
             {"package/vendor.module", "module: old.so\npriority: 9\n"},
             {"system/vendor.module", "module: /usr/local/new.so\n"},
             {"package/p11-kit-trust.module", "module: p11-kit-trust.so\n"},
             {"package/client.module", "module: /usr/lib/pkcs11/p11-kit-client.so\n"},
             {"package/remote.module", "remote: |ssh host p11-kit remote\n"},
             {"package/empty.module", "module:\n"},
             {"package/notes.txt", "module: notes.so\n"},
             {"package/.module", "module: nameless.so\n"},
             {"package/.hidden.module", "module: hidden.so\n"},
             {"package/a.module", "module: a.so\ndisable-in: other, " + self + "\n"},
             {"package/b.module", "module: b.so\nenable-in: other\n"},
             {"package/c.module", "module: c.so\nenable-in: other," + self + "\n"},
             {"package/d.module", "module: d.so\ndisable-in: other\n"},
             {"package/big.module", "module: big.so\n#" + std::string(65536 - 17, 'x') + "\n"},
             {"package/huge.module", "module: huge.so\n#" + std::string(65536 - 17, 'x') + "\n"}}) {
        test::WriteFile(dir / file, text);
    }
    EXPECT_EQ(RegisteredP11KitModules({{dir / "package", dir / "system", dir / "missing"}, "/p"}),
              (Names{"/p/beta.so", "/p/alpha-pkcs11.so", "/p/big.so", "/p/c.so", "/p/d.so",
                     "/usr/local/new.so", "/opt/zeta.so", "/p/gamma.so"}));
}

// The makers' libraries after the registry: the first folder holding a name wins, a folder that
// is another by a link adds nothing, and a library p11-kit names is not listed twice.
TEST(ModuleListTest, MakersLibrariesAfterTheRegistryEachOnce) {
    const test::ScopedDir dir("vendors");
    for (const std::string file : {"a/libeTPkcs11.so", "b/libeTPkcs11.so", "b/libcvP11.so",
                                   "b/libASEP11.so", "registry/cv.module"}) {
        fs::create_directories(fs::path(dir / file).parent_path());
        test::WriteFile(dir / file, "");
    }
    fs::create_directory_symlink(dir / "b", dir / "b-link");
    test::WriteFile(dir / "registry/cv.module", "module: " + (dir / "b/libcvP11.so") + "\n");
    const VendorLibraryLayout vendors{
        {dir / "missing", dir / "a", dir / "b-link", dir / "b"},
        {"libcvP11.so", "libeTPkcs11.so", "libASEP11.so", "libcmP11.so"}};
    const P11KitLayout registry{{dir / "registry"}, "/p"};
    EXPECT_EQ(BuiltInModuleList(registry, vendors),
              (Names{dir / "b/libcvP11.so", dir / "a/libeTPkcs11.so", dir / "b-link/libASEP11.so",
                     kFallbackModule}));
}

template <std::size_t N>
void Fill(unsigned char (&field)[N], const std::string& text, char pad = ' ') {
    std::memset(field, pad, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

TEST(ZelTokenTest, RecordTextStopsAtTheFirstBlankOrNulAndTheSerialIsAllSixteenBytes) {
    CK_SLOT_INFO slot{};
    CK_TOKEN_INFO info{};
    Fill(info.serialNumber, "0123456789ABCDEF");
    Fill(info.label, "My Token");
    Fill(info.manufacturerID, "Acme Tokens Ltd");
    Fill(info.model, " Model");
    const zel_token token = MakeTokenRecord(slot, info, 7, 3, "libvendor.so");
    EXPECT_EQ(SerialText(token), "0123456789ABCDEF");
    EXPECT_EQ(LabelText(token), "My");
    EXPECT_EQ(ManufacturerText(token), "Acme");
    EXPECT_EQ(ModelText(token), "");
    // SHA-1 of "0123456789ABCDEF" "Acme" "": differences after a blank do not count.
    std::wstring line;
    std::string hash;
    ASSERT_EQ(GetTokenHash(token, line, hash), 0);
    EXPECT_EQ(line, L"TOKEN_HASH: 36d629da102750410d50b70a0634209e4cf164f0\n");
    // Padded with NULs, as some libraries do, the text and the hash are the same.
    for (const auto& [manufacturer, pad] : {std::pair{"Acme Other", ' '}, {"Acme", '\0'}}) {
        Fill(info.manufacturerID, manufacturer, pad);
        hash.clear();
        ASSERT_EQ(GetTokenHash(MakeTokenRecord(slot, info, 0, 0, ""), line, hash), 0);
        EXPECT_EQ(hash, "36d629da102750410d50b70a0634209e4cf164f0");
    }
    EXPECT_EQ(TrimmedField(info.manufacturerID, sizeof info.manufacturerID), "Acme");
}

// Exactly 2048 bits, and exactly the room a key pair and a certificate take, are enough.
TEST(TokenReadinessTest, TheLimitsThemselvesAreEnough) {
    CK_TOKEN_INFO info{};
    info.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
    info.ulFreePublicMemory = kPublicRoomNeeded;
    info.ulFreePrivateMemory = kPrivateRoomNeeded;
    const CK_MECHANISM_INFO generate{kRenewalKeyBits, kRenewalKeyBits, CKF_GENERATE_KEY_PAIR};
    const CK_MECHANISM_INFO pkcs1{0, 0, CKF_SIGN | CKF_DECRYPT};
    EXPECT_TRUE(TokenShortfalls(info, &generate, &pkcs1).empty());
}

TEST(Pkcs11CallTest, FailuresBecomeTheLastErrorByName) {
    for (const auto& [rv, name] :
         {std::pair<CK_RV, const char*>{CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
          {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED"},
          {0x80000002, "CKR_VENDOR_DEFINED+0x2"},
          {0x7777, ""}}) {
        SetLastSystemError(0, "none");
        EXPECT_EQ(Checked(rv), rv);
        EXPECT_EQ(GetLastSystemError().code, rv);
        EXPECT_EQ(GetLastSystemError().text, name);
    }
    SetLastSystemError(5, "kept");
    EXPECT_EQ(Checked(CKR_OK), CKR_OK);
    EXPECT_EQ(GetLastSystemError().text, "kept");
}

// A certificate's parts as the token objects take them are checked through the token; here
// only what is refused.
TEST(CertificatePartsTest, RefusesWhatIsNotOneRsaCertificate) {
    const test::TestCa ca;
    const PkeyPtr ec(EVP_EC_gen("P-256"));
    const Bytes der = ca.Issue(ca.key(), {{"CN", "Ana"}}, {0x01});
    Bytes trailing = der;
    trailing.push_back(0x00);
    for (const Bytes& bad : {trailing, Bytes(der.begin(), der.end() - 1), Bytes(),
                             ca.Issue(ec.get(), {{"CN", "Ana"}}, {1})}) {
        CertificateParts parts;
        parts.label = "untouched";
        EXPECT_EQ(ParseCertificateParts(bad, parts), kToolkitDecodeError);
        EXPECT_EQ(parts.label, "untouched");
    }
}

}  // namespace
}  // namespace qe
