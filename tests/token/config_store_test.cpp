#include "token/config_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/scoped_dir.h"

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

}  // namespace
}  // namespace qe
