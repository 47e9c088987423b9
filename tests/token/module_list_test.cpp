#include "token/module_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/softhsm.h"
#include "token/p11kit_modules.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(SplitModuleValueTest, LinesUpToTheFirstEmptyOne) {
    EXPECT_THAT(SplitModuleValue("a.so\nb.so\n"), ElementsAre("a.so", "b.so"));
    EXPECT_THAT(SplitModuleValue("a.so\r\nb.so"), ElementsAre("a.so", "b.so"));
    EXPECT_THAT(SplitModuleValue("a.so\n\nb.so\n"), ElementsAre("a.so"));
    EXPECT_THAT(SplitModuleValue(std::string("a.so\0b.so\0\0c.so", 15)),
                ElementsAre("a.so", "b.so"));
    EXPECT_THAT(SplitModuleValue("\nb.so\n"), IsEmpty());
    EXPECT_THAT(SplitModuleValue(""), IsEmpty());
    // Junk stays a name; it simply fails to load later.
    EXPECT_THAT(SplitModuleValue("  \n#x\n"), ElementsAre("  ", "#x"));
}

class ModuleListTest : public ::testing::Test {
protected:
    std::string UserValue() const {
        return hsm_.UserConfigHome() + "/" + kModuleKeyPath + "/" + kModuleValueName;
    }
    std::string MachineKey() const { return hsm_.MachineConfigHome() + "/" + kModuleKeyPath; }

    test::SoftHsm hsm_;  // private XDG homes
    CReg reg_;
};

TEST_F(ModuleListTest, StoredListIsUsedAsItStands) {
    hsm_.WriteModuleList({"first.so", "/abs/second.so"});
    EXPECT_THAT(reg_.ModuleList(), ElementsAre("first.so", "/abs/second.so"));
}

TEST_F(ModuleListTest, ListWhoseFirstLineIsEmptyHasNoNames) {
    fs::create_directories(fs::path(UserValue()).parent_path());
    test::WriteFile(UserValue(), "\nignored.so\n");
    EXPECT_THAT(reg_.ModuleList(), IsEmpty());
}

TEST_F(ModuleListTest, MachineWideCopyWithExpansion) {
    setenv("QETOKENLIB", "/opt/token/lib", 1);
    fs::create_directories(MachineKey() + "/Vendor");
    test::WriteFile(MachineKey() + "/" + kModuleValueName, "$QETOKENLIB/libvendor.so\nother.so\n");
    test::WriteFile(MachineKey() + "/Vendor/Note", "kept");
    EXPECT_THAT(reg_.ModuleList(), ElementsAre("$QETOKENLIB/libvendor.so", "other.so"));
    // The user's copy now holds the list as it stood (a multi-string is not expanded) and the
    // subkeys.
    EXPECT_EQ(test::ReadFile(UserValue()), "$QETOKENLIB/libvendor.so\nother.so\n");
    EXPECT_EQ(test::ReadFile(fs::path(UserValue()).parent_path() / "Vendor/Note"), "kept");
    unsetenv("QETOKENLIB");

    // Later runs read the user's copy, not the machine key.
    test::WriteFile(MachineKey() + "/" + kModuleValueName, "changed.so\n");
    EXPECT_THAT(reg_.ModuleList(), ElementsAre("$QETOKENLIB/libvendor.so", "other.so"));
}

TEST_F(ModuleListTest, WithoutAnyStoredListTheBuiltInListIsWrittenAndUsed) {
    const std::vector<std::string> builtIn = BuiltInModuleList();
    ASSERT_FALSE(builtIn.empty());
    EXPECT_EQ(reg_.ModuleList(), builtIn);
    EXPECT_EQ(SplitModuleValue(test::ReadFile(UserValue())), builtIn);
}

TEST_F(ModuleListTest, EmptyStoredValueIsReplaced) {
    hsm_.WriteModuleList({});
    EXPECT_EQ(reg_.ModuleList(), BuiltInModuleList());
}

TEST_F(ModuleListTest, MachineKeyWithoutTheValueFallsBackToTheBuiltInList) {
    fs::create_directories(MachineKey());
    test::WriteFile(MachineKey() + "/Unrelated", "x");
    EXPECT_EQ(reg_.ModuleList(), BuiltInModuleList());
}

TEST_F(ModuleListTest, UnwritableUserHomeStillGivesTheBuiltInList) {
    test::WriteFile(hsm_.UserConfigHome(), "a file where the configuration home should be");
    EXPECT_EQ(reg_.ModuleList(), BuiltInModuleList());
    EXPECT_NE(reg_.WriteDefaultModules(), 0);
}

TEST_F(ModuleListTest, BuiltInListSkipsTheFallbackWhenP11KitHasIt) {
    const P11KitLayout layout = DefaultP11KitLayout();
    std::size_t registeredFallbacks = 0;
    for (const std::string& name : RegisteredP11KitModules(layout)) {
        registeredFallbacks += fs::path(name).filename() == kFallbackModule ? 1 : 0;
    }
    std::size_t fallbacks = 0;
    for (const std::string& name : BuiltInModuleList()) {
        fallbacks += fs::path(name).filename() == kFallbackModule ? 1 : 0;
    }
    EXPECT_EQ(fallbacks, registeredFallbacks == 0 ? 1u : registeredFallbacks);
}

}  // namespace
}  // namespace qe
