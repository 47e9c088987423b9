#include "token/module_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/scoped_dir.h"
#include "token/config_store.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
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

}  // namespace
}  // namespace qe
