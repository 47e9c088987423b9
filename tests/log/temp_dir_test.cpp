#include "log/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

using test::ScopedDir;

TEST(TempDir, OnlyAPrivateDirectoryServes) {
    const std::string own = "quorvane-enroll-" + std::to_string(geteuid());
    ScopedDir personal("personal");  // mkdtemp: 0700
    ScopedDir shared("shared");
    ScopedDir planted("planted");  // someone made our name first, open to others
    for (const ScopedDir* open : {&shared, &planted}) {
        ASSERT_EQ(chmod(open->path().c_str(), 01777), 0);
    }
    ASSERT_EQ(mkdir((planted / own).c_str(), 0755), 0);
    ASSERT_EQ(chmod((planted / own).c_str(), 0755), 0);
    test::WriteFile(personal / "file", "");
    ASSERT_EQ(mkdir((personal / "p").c_str(), 0700), 0);
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(personal.path());  // for a relative TMPDIR
    const std::optional<std::string> fromTmp = "/tmp/" + own + "/";
    const test::ScopedEnv cache("XDG_CACHE_HOME", (personal / "cache").c_str());
    const struct {
        std::optional<std::string> tmpdir;  // none: unset
        std::optional<std::string> expected;
    } cases[] = {
        {personal.path(), personal.path() + "/"},
        {personal.path() + "//", personal.path() + "/"},
        {"p/", "p/"},  // one character before the slash
        {shared.path(), shared / own + "/"},
        {planted.path(), personal / "cache/quorvane-enroll/"},  // one per user, found again
        {personal / "file", std::nullopt},
        {personal / "missing", std::nullopt},
        {std::nullopt, fromTmp},
        {"", fromTmp},
    };
    const std::string saved = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
        if (c.tmpdir) {
            setenv("TMPDIR", c.tmpdir->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        const auto dir = PrivateTempDir();
        EXPECT_EQ(dir, c.expected);
        struct stat st {};
        if (dir && lstat(dir->c_str(), &st) == 0) {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            EXPECT_EQ(st.st_uid, geteuid());
        }
    }
    setenv("TMPDIR", saved.c_str(), 1);
    std::filesystem::current_path(cwd);
}

TEST(TempDir, RegisteredFilesGoAtExitForgottenOnesStay) {
    test::ScopedDir dir("exit");
    test::WriteFile(dir / "kept", "x");
    test::WriteFile(dir / "removed", "x");
    ASSERT_TRUE(RegisterExitRemoval(dir / "kept") && RegisterExitRemoval(dir / "removed"));
    ForgetExitRemoval(dir / "kept");
    RemoveRegisteredFiles();
    EXPECT_EQ(access((dir / "kept").c_str(), F_OK), 0);
    EXPECT_NE(access((dir / "removed").c_str(), F_OK), 0);
    ForgetExitRemoval(dir / "removed");
}

// A link planted where the replacement is written first (to another file, or a hard link of it)
// is replaced, never written through.
TEST(TempDir, ReplaceFileWritesNoPlantedLink) {
    test::ScopedDir dir("replace");
    test::WriteFile(dir / "victim", "x");
    for (const auto link : {&symlink, &link}) {
        std::filesystem::remove(dir / "f.new");
        ASSERT_EQ(link((dir / "victim").c_str(), (dir / "f.new").c_str()), 0);
        ASSERT_TRUE(ReplaceFile(dir / "f", "new"));
        EXPECT_EQ(test::ReadFile(dir / "victim"), "x");
        EXPECT_EQ(test::ReadFile(dir / "f"), "new");
    }
}

}  // namespace
}  // namespace qe
