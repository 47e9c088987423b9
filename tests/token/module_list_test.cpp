// Where the module list comes from: the settings store, the user's and the machine's lists,
// p11-kit's registry.
#include "token/module_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "support/scoped_dir.h"
#include "token/config_store.h"
#include "token/p11kit_modules.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

TEST(ExpandDollarOnceTest, TheFirstUpperCaseNameThatExists) {
    const ScopedEnv lib("QELIBDIR", "/opt/tokens");
    const ScopedEnv unset("QEUNSET", nullptr);
    const std::pair<const char*, const char*> cases[] = {
        {"$QELIBDIR/lib.so", "/opt/tokens/lib.so"},
        {"a$QELIBDIR_x$QELIBDIR", "a/opt/tokens_x$QELIBDIR"},
        {"$QELIBDIRx", "/opt/tokensx"},                // the name is the run of A to Z only
        {"$QEUNSET/$QELIBDIR", "$QEUNSET/$QELIBDIR"},  // only the first "$" is looked at
        {"$lower", "$lower"},
        {"end$", "end$"},
        {"$", "$"},
        {"none", "none"},
    };
    for (const auto& [value, expanded] : cases) {
        EXPECT_EQ(ExpandDollarOnce(value), expanded) << value;
    }
}

TEST(ConfigHomeTest, XdgVariablesWithFallbacks) {
    const ScopedEnv home("HOME", "/home/ana");
    const struct {
        const char* configHome;
        const char* configDirs;
        const char* user;
        const char* machine;
    } cases[] = {
        {nullptr, nullptr, "/home/ana/.config", "/etc/xdg"},
        {"relative/dir", "", "/home/ana/.config", "/etc/xdg"},
        {"/cfg", "rel::/first:/second", "/cfg", "/first"},
        {"", "rel:", "/home/ana/.config", "/etc/xdg"},
    };
    for (const auto& c : cases) {
        const ScopedEnv user("XDG_CONFIG_HOME", c.configHome);
        const ScopedEnv machine("XDG_CONFIG_DIRS", c.configDirs);
        EXPECT_EQ(UserConfigHome(), c.user);
        EXPECT_EQ(MachineConfigHome(), c.machine);
    }
    const ScopedEnv noHome("HOME", "relative");
    EXPECT_EQ(UserHomeDirectory().front(), '/');  // the password database's
}

TEST(ConfigValueTest, WrittenWholeReadUpToItsLimit) {
    const test::ScopedDir dir("config");
    std::string data = "kept";
    EXPECT_EQ(ReadConfigValue(dir / "key", "value", data), ENOENT);
    for (const std::string& value :
         {std::string("a\nb\n"), std::string(), std::string(1 << 20, 'x')}) {
        ASSERT_EQ(WriteConfigValue(dir / "key/sub", "value", value), 0);
        ASSERT_EQ(ReadConfigValue(dir / "key/sub", "value", data), 0);
        EXPECT_EQ(data, value);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "key/sub"), fs::directory_iterator()), 1);
    test::WriteFile(dir / "key/sub/value", std::string((1 << 20) + 1, 'x'));
    data = "kept";
    EXPECT_EQ(ReadConfigValue(dir / "key/sub", "value", data), EFBIG);
    EXPECT_EQ(data, "kept");
    fs::create_directories(dir / "key/sub/dir");
    EXPECT_EQ(ReadConfigValue(dir / "key/sub", "dir", data), EISDIR);
    EXPECT_EQ(ReadConfigValue("/dev", "null", data), EINVAL);
    EXPECT_EQ(WriteConfigValue(dir / "key/sub/value/below", "value", "x"), ENOTDIR);
    fs::create_directories(dir / "key/sub/taken");
    EXPECT_EQ(WriteConfigValue(dir / "key/sub", "taken", "x"), EISDIR);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "key/sub"), fs::directory_iterator()), 3);
}

TEST(CopyConfigKeyTest, SubkeysThenValuesWithinTheirLimits) {
    const ScopedEnv lib("QELIBDIR", "/opt/tokens");
    const test::ScopedDir dir("copy");
    const std::string machine = dir / "machine";
    std::string deep = machine;
    for (int depth = 1; depth <= 34; ++depth) {
        deep += "/d";
        fs::create_directories(deep);
        test::WriteFile(deep + "/Level", std::to_string(depth));
    }
    test::WriteFile(machine + "/PKCS11Modules", "$QELIBDIR/a.so\nb.so\n");
    test::WriteFile(machine + "/Path", "$QELIBDIR");
    test::WriteFile(machine + "/Largest", std::string(16383, 'x'));
    test::WriteFile(machine + "/TooLarge", std::string(16384, 'x'));
    fs::create_symlink(machine + "/Path", machine + "/LinkedValue");
    fs::create_symlink(machine, machine + "/d/Loop");

    EXPECT_EQ(CopyConfigKey(machine, dir / "user", {"PKCS11Modules"}), 0);
    // A multi-string is copied as it stands; string values are expanded.
    EXPECT_EQ(test::ReadFile(dir / "user/PKCS11Modules"), "$QELIBDIR/a.so\nb.so\n");
    EXPECT_EQ(test::ReadFile(dir / "user/Path"), "/opt/tokens");
    EXPECT_EQ(test::ReadFile(dir / "user/LinkedValue"), "/opt/tokens");
    EXPECT_EQ(test::ReadFile(dir / "user/Largest").size(), 16383u);
    EXPECT_FALSE(fs::exists(dir / "user/TooLarge"));  // left out, the rest still copied
    EXPECT_FALSE(fs::exists(dir / "user/d/Loop"));    // a linked directory is no subkey
    // The key itself is depth 0: subkeys are copied down to depth 32.
    std::string path = dir / "user";
    for (int depth = 1; depth <= 33; ++depth) {
        path += "/d";
        EXPECT_EQ(fs::exists(path + "/Level"), depth <= 32) << depth;
    }

    EXPECT_EQ(CopyConfigKey(dir / "absent", dir / "other"), ENOENT);
    EXPECT_EQ(CopyConfigKey(machine + "/Path", dir / "other"), ENOTDIR);
    EXPECT_EQ(CopyConfigKey(machine, dir / "user/Path"), ENOTDIR);
    EXPECT_FALSE(fs::exists(dir / "other"));
    fs::create_directories(dir / "empty");
    EXPECT_EQ(CopyConfigKey(dir / "empty", dir / "other"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "other"));
}

using Names = std::vector<std::string>;

TEST(SplitModuleValueTest, LinesUpToTheFirstEmptyOne) {
    const std::pair<std::string, Names> cases[] = {
        {"a.so\nb.so\n", {"a.so", "b.so"}},
        {"a.so\r\nb.so", {"a.so", "b.so"}},
        {"a.so\n\nb.so\n", {"a.so"}},
        {std::string("a.so\0b.so\0\0c.so", 15), {"a.so", "b.so"}},
        {"\nb.so\n", {}},
        {"", {}},
        {"  \n#x\n", {"  ", "#x"}},  // junk stays a name; it fails to load later
    };
    for (const auto& [value, names] : cases) {
        EXPECT_EQ(SplitModuleValue(value), names) << value;
    }
}

// Where the list comes from, as the doctor sees it without writing and as the wizard then uses
// it, with the user's copy it leaves behind.
TEST(ModuleListTest, UserListElseMachineCopyElseBuiltIn) {
    const ScopedEnv lib("QETOKENLIB", "/opt/token");
    const Names builtIn = BuiltInModuleList();
    ASSERT_FALSE(builtIn.empty());
    const std::string largest(16382, 'a');  // with its line feed as large as a copy takes
    const auto user = ModuleListSource::User;
    const auto machine = ModuleListSource::MachineWide;
    const auto none = ModuleListSource::BuiltIn;
    const struct {
        std::optional<std::string> userValue;
        std::optional<std::string> machineValue;
        ModuleListSource source;
        Names inspected;
        Names used;
        Names stored;  // the user's list afterwards
    } cases[] = {
        {"first.so\n/abs/second.so\n",
         "other.so\n",
         user,
         {"first.so", "/abs/second.so"},
         {"first.so", "/abs/second.so"},
         {"first.so", "/abs/second.so"}},
        {"\nignored.so\n", "other.so\n", user, {}, {}, {}},
        {"", std::nullopt, none, builtIn, builtIn, builtIn},
        // A multi-string is copied as it stands.
        {std::nullopt,
         "$QETOKENLIB/lib.so\nother.so\n",
         machine,
         {"/opt/token/lib.so", "other.so"},
         {"$QETOKENLIB/lib.so", "other.so"},
         {"$QETOKENLIB/lib.so", "other.so"}},
        {std::nullopt, largest + "\n", machine, {largest}, {largest}, {largest}},
        {std::nullopt, largest + "a\n", none, builtIn, builtIn, {}},  // too large to copy
        {std::nullopt, "", none, builtIn, builtIn, {}},
        {std::nullopt, std::nullopt, none, builtIn, builtIn, builtIn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.userValue.value_or("-") + "|" + c.machineValue.value_or("-").substr(0, 20));
        const test::ScopedDir dir("modules");
        const ScopedEnv userHome("XDG_CONFIG_HOME", (dir / "user").c_str());
        const ScopedEnv machineHome("XDG_CONFIG_DIRS", (dir / "machine").c_str());
        const std::string userKey = dir / "user/" + kModuleKeyPath;
        const std::string machineKey = dir / "machine/" + kModuleKeyPath;
        if (c.userValue) {
            ASSERT_EQ(WriteConfigValue(userKey, kModuleValueName, *c.userValue), 0);
        }
        if (c.machineValue) {
            ASSERT_EQ(WriteConfigValue(machineKey, kModuleValueName, *c.machineValue), 0);
            ASSERT_EQ(WriteConfigValue(machineKey + "/Sub", "Note", "kept"), 0);
        }
        const ModuleListOrigin origin = InspectModuleList();
        EXPECT_EQ(origin.source, c.source);
        EXPECT_EQ(origin.path, c.source == none   ? ""
                               : c.source == user ? userKey + "/" + kModuleValueName
                                                  : machineKey + "/" + kModuleValueName);
        EXPECT_EQ(origin.names, c.inspected);
        EXPECT_EQ(fs::exists(userKey), c.userValue.has_value());  // the doctor only looks

        EXPECT_EQ(CReg().ModuleList(), c.used);
        EXPECT_EQ(SplitModuleValue(test::ReadFile(userKey + "/" + kModuleValueName)), c.stored);
        EXPECT_EQ(fs::exists(userKey + "/Sub/Note"), !c.userValue && c.machineValue);
    }
}

TEST(ModuleListTest, UnwritableUserHomeStillGivesTheBuiltInList) {
    const test::ScopedDir dir("modules");
    test::WriteFile(dir / "file", "a file where the configuration home should be");
    const ScopedEnv userHome("XDG_CONFIG_HOME", (dir / "file").c_str());
    EXPECT_EQ(CReg().ModuleList(), BuiltInModuleList());
    EXPECT_EQ(CReg().WriteDefaultModules(), ENOTDIR);
}

// Each row: the files of the package and the system directory, and the libraries registered.
TEST(P11KitModulesTest, RegisteredLibrariesInP11KitOrder) {
    const std::string self = program_invocation_short_name;
    using Files = std::vector<std::pair<std::string, std::string>>;
    const struct {
        Files package;
        Files system;
        std::vector<std::string> paths;
    } cases[] = {
        {{{"zeta.module", "module: /opt/zeta.so\n"},
          {"alpha.module", "# comment\nmodule: alpha-pkcs11.so\n"},
          {"beta.module", "module: beta.so\npriority: 5\n"},
          {"gamma.module", "module: gamma.so\npriority: -1\n"}},
         {},
         {"/lib/pkcs11/beta.so", "/lib/pkcs11/alpha-pkcs11.so", "/opt/zeta.so",
          "/lib/pkcs11/gamma.so"}},
        {{{"vendor.module", "module: old.so\n"}},
         {{"vendor.module", "module: /usr/local/new.so\n"}},
         {"/usr/local/new.so"}},
        {{{"p11-kit-trust.module", "module: p11-kit-trust.so\npriority: 1\n"},
          {"client.module", "module: /usr/lib/pkcs11/p11-kit-client.so\n"},
          {"remote.module", "remote: |ssh host p11-kit remote\n"},
          {"empty.module", "module:\n"},
          {"notes.txt", "module: notes.so\n"},
          {".module", "module: nameless.so\n"},
          {".hidden.module", "module: hidden.so\n"},
          {"token.module", "module:   token.so  \r\n"}},
         {},
         {"/lib/pkcs11/token.so"}},
        {{{"a.module", "module: a.so\ndisable-in: other, " + self + "\n"},
          {"b.module", "module: b.so\nenable-in: other\n"},
          {"c.module", "module: c.so\nenable-in: other," + self + "\n"},
          {"d.module", "module: d.so\ndisable-in: other\n"}},
         {},
         {"/lib/pkcs11/c.so", "/lib/pkcs11/d.so"}},
        {{{"big.module", "module: big.so\n#" + std::string(65536 - 17, 'x') + "\n"},
          {"bigger.module", "module: bigger.so\n#" + std::string(65536 - 19, 'x') + "\n"}},
         {},
         {"/lib/pkcs11/big.so"}},  // a file above 64 KiB is not read
    };
    for (const auto& c : cases) {
        const test::ScopedDir dir("p11kit");
        const P11KitLayout layout{{dir / "package", dir / "system", dir / "missing"},
                                  "/lib/pkcs11"};
        for (const auto& [where, files] : {std::pair{"package", c.package}, {"system", c.system}}) {
            std::filesystem::create_directories(dir / where);
            for (const auto& [name, text] : files) {
                test::WriteFile(dir / where + "/" + name, text);
            }
        }
        EXPECT_EQ(RegisteredP11KitModules(layout), c.paths);
    }
}

}  // namespace
}  // namespace qe
