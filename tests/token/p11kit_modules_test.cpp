#include "token/p11kit_modules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

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
