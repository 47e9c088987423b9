#include "token/config_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) {
            old_ = old;
            hadOld_ = true;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool hadOld_ = false;
};

TEST(ExpandDollarOnceTest, ExpandsTheFirstUpperCaseNameThatExists) {
    ScopedEnv lib("QELIBDIR", "/opt/tokens");
    ScopedEnv unset("QEUNSET", nullptr);
    EXPECT_EQ(ExpandDollarOnce("$QELIBDIR/lib.so"), "/opt/tokens/lib.so");
    EXPECT_EQ(ExpandDollarOnce("a$QELIBDIR_x$QELIBDIR"), "a/opt/tokens_x$QELIBDIR");
    // The name is the run of A to Z only; digits and lower case end it.
    EXPECT_EQ(ExpandDollarOnce("$QELIBDIRx"), "/opt/tokensx");
    // Only the first "$" is looked at, even when its name does not exist.
    EXPECT_EQ(ExpandDollarOnce("$QEUNSET/$QELIBDIR"), "$QEUNSET/$QELIBDIR");
    EXPECT_EQ(ExpandDollarOnce("$lower"), "$lower");
    EXPECT_EQ(ExpandDollarOnce("end$"), "end$");
    EXPECT_EQ(ExpandDollarOnce("none"), "none");
}

TEST(ConfigHomeTest, XdgVariablesWithFallbacks) {
    ScopedEnv home("HOME", "/home/ana");
    {
        ScopedEnv config("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(UserConfigHome(), "/home/ana/.config");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "relative/dir");
        EXPECT_EQ(UserConfigHome(), "/home/ana/.config");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(UserConfigHome(), "/cfg");
    }
    {
        ScopedEnv dirs("XDG_CONFIG_DIRS", nullptr);
        EXPECT_EQ(MachineConfigHome(), "/etc/xdg");
    }
    {
        ScopedEnv dirs("XDG_CONFIG_DIRS", "");
        EXPECT_EQ(MachineConfigHome(), "/etc/xdg");
    }
    {
        ScopedEnv dirs("XDG_CONFIG_DIRS", "rel::/first:/second");
        EXPECT_EQ(MachineConfigHome(), "/first");
    }
}

TEST(ConfigValueTest, ReadAndWrite) {
    test::ScopedDir dir("config");
    std::string data;
    EXPECT_EQ(ReadConfigValue(dir / "key", "value", data), ENOENT);
    ASSERT_EQ(WriteConfigValue(dir / "key/sub", "value", "a\nb\n"), 0);
    ASSERT_EQ(ReadConfigValue(dir / "key/sub", "value", data), 0);
    EXPECT_EQ(data, "a\nb\n");
    ASSERT_EQ(WriteConfigValue(dir / "key/sub", "value", ""), 0);
    ASSERT_EQ(ReadConfigValue(dir / "key/sub", "value", data), 0);
    EXPECT_EQ(data, "");
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "key/sub"), fs::directory_iterator()), 1);

    fs::create_directories(dir / "key/sub/dirvalue");
    EXPECT_EQ(ReadConfigValue(dir / "key/sub", "dirvalue", data), EISDIR);
    test::WriteFile(dir / "blocker", "a file where a key should be");
    EXPECT_NE(WriteConfigValue(dir / "blocker/key", "value", "x"), 0);
}

TEST(ConfigValueTest, OversizedValueIsRefused) {
    test::ScopedDir dir("config");
    test::WriteFile(dir / "big", std::string((1 << 20) + 1, 'x'));
    std::string data = "kept";
    EXPECT_EQ(ReadConfigValue(dir.path(), "big", data), EFBIG);
    EXPECT_EQ(data, "kept");
}

TEST(CopyConfigKeyTest, CopiesSubkeysThenValuesWithExpansion) {
    ScopedEnv lib("QELIBDIR", "/opt/tokens");
    test::ScopedDir dir("copy");
    fs::create_directories(dir / "machine/Sub/Deeper");
    test::WriteFile(dir / "machine/PKCS11Modules", "$QELIBDIR/a.so\nb.so\n");
    test::WriteFile(dir / "machine/Sub/Setting", "plain");
    test::WriteFile(dir / "machine/Sub/Deeper/Path", "$QELIBDIR");
    test::WriteFile(dir / "machine/Huge", std::string(16384, 'x'));
    fs::create_symlink(dir / "machine", dir / "machine/Sub/Loop");

    EXPECT_EQ(CopyConfigKey(dir / "machine", dir / "user", {"PKCS11Modules"}), 0);
    // A multi-string is copied as it stands; string values are expanded.
    EXPECT_EQ(test::ReadFile(dir / "user/PKCS11Modules"), "$QELIBDIR/a.so\nb.so\n");
    EXPECT_EQ(test::ReadFile(dir / "user/Sub/Setting"), "plain");
    EXPECT_EQ(test::ReadFile(dir / "user/Sub/Deeper/Path"), "/opt/tokens");
    // Too large for a value: left out, the rest still copied.
    EXPECT_FALSE(fs::exists(dir / "user/Huge"));
    // A linked directory is no subkey, so a loop cannot run away.
    EXPECT_FALSE(fs::exists(dir / "user/Sub/Loop"));
}

TEST(CopyConfigKeyTest, MissingOrUnreadableSourceReturnsItsError) {
    test::ScopedDir dir("copy");
    EXPECT_EQ(CopyConfigKey(dir / "absent", dir / "user"), ENOENT);
    EXPECT_FALSE(fs::exists(dir / "user"));
    test::WriteFile(dir / "file", "x");
    EXPECT_EQ(CopyConfigKey(dir / "file", dir / "user"), ENOTDIR);

    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    fs::create_directories(dir / "locked");
    chmod((dir / "locked").c_str(), 0);
    EXPECT_EQ(CopyConfigKey(dir / "locked", dir / "user"), EACCES);
    chmod((dir / "locked").c_str(), 0700);
}

TEST(CopyConfigKeyTest, EmptyKeyCopiesAsSuccess) {
    test::ScopedDir dir("copy");
    fs::create_directories(dir / "machine");
    EXPECT_EQ(CopyConfigKey(dir / "machine", dir / "user"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "user"));
}

}  // namespace
}  // namespace qe
