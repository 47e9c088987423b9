#include "token/p11kit_modules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/scoped_dir.h"

namespace qe {
namespace {

using ::testing::ElementsAre;

class P11KitModulesTest : public ::testing::Test {
protected:
    P11KitModulesTest() {
        std::filesystem::create_directories(dir_ / "package");
        std::filesystem::create_directories(dir_ / "system");
        layout_.configDirs = {dir_ / "package", dir_ / "system", dir_ / "missing"};
        layout_.moduleDir = "/lib/pkcs11";
    }
    void Module(const std::string& where, const std::string& name, const std::string& text) {
        test::WriteFile(dir_ / where + "/" + name, text);
    }

    test::ScopedDir dir_{"p11kit"};
    P11KitLayout layout_;
};

TEST_F(P11KitModulesTest, PriorityThenNameWithRelativePathsResolved) {
    Module("package", "zeta.module", "module: /opt/zeta.so\n");
    Module("package", "alpha.module", "# comment\nmodule: alpha-pkcs11.so\n");
    Module("package", "beta.module", "module: beta.so\npriority: 5\n");
    EXPECT_THAT(RegisteredP11KitModules(layout_),
                ElementsAre("/lib/pkcs11/beta.so", "/lib/pkcs11/alpha-pkcs11.so", "/opt/zeta.so"));
}

TEST_F(P11KitModulesTest, SystemFileReplacesThePackageFileOfTheSameName) {
    Module("package", "vendor.module", "module: old.so\n");
    Module("system", "vendor.module", "module: /usr/local/new.so\n");
    EXPECT_THAT(RegisteredP11KitModules(layout_), ElementsAre("/usr/local/new.so"));
}

TEST_F(P11KitModulesTest, OwnModulesRemoteEntriesAndOtherFilesAreLeftOut) {
    Module("package", "p11-kit-trust.module", "module: p11-kit-trust.so\npriority: 1\n");
    Module("package", "client.module", "module: /usr/lib/pkcs11/p11-kit-client.so\n");
    Module("package", "remote.module", "remote: |ssh host p11-kit remote\n");
    Module("package", "notes.txt", "module: notes.so\n");
    Module("package", ".hidden.module", "module: hidden.so\n");
    Module("package", "token.module", "module:   token.so  \n");
    EXPECT_THAT(RegisteredP11KitModules(layout_), ElementsAre("/lib/pkcs11/token.so"));
}

TEST_F(P11KitModulesTest, EnableInAndDisableInNameThisProgram) {
    const std::string self = program_invocation_short_name;
    Module("package", "a.module", "module: a.so\ndisable-in: other, " + self + "\n");
    Module("package", "b.module", "module: b.so\nenable-in: other\n");
    Module("package", "c.module", "module: c.so\nenable-in: " + self + "\n");
    Module("package", "d.module", "module: d.so\ndisable-in: other\n");
    EXPECT_THAT(RegisteredP11KitModules(layout_),
                ElementsAre("/lib/pkcs11/c.so", "/lib/pkcs11/d.so"));
}

}  // namespace
}  // namespace qe
