#include "log/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

// Runs the body with TMPDIR unset, so the wizard's own directory below /tmp is used.
class OwnTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* t = std::getenv("TMPDIR")) {
            saved_ = t;
        }
        unsetenv("TMPDIR");
    }
    void TearDown() override { setenv("TMPDIR", saved_.c_str(), 1); }
    std::string saved_;
};

TEST_F(OwnTempDir, IsCreatedPrivate) {
    const auto dir = PrivateTempDir();
    ASSERT_TRUE(dir.has_value());
    EXPECT_EQ(*dir, "/tmp/quorvane-enroll-" + std::to_string(geteuid()) + "/");
    struct stat st {};
    ASSERT_EQ(lstat(dir->c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(OwnTempDir, RefusesADirectoryOpenToOthers) {
    const std::string dir = "/tmp/quorvane-enroll-" + std::to_string(geteuid());
    ASSERT_TRUE(PrivateTempDir().has_value());
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_FALSE(PrivateTempDir().has_value());
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    EXPECT_TRUE(PrivateTempDir().has_value());
}

TEST(TempDir, HonoursTmpdirAndCreatesFilesExclusively) {
    test::ScopedDir scratch("tmpdir");
    setenv("TMPDIR", scratch.path().c_str(), 1);
    const auto dir = PrivateTempDir();
    ASSERT_TRUE(dir.has_value());
    EXPECT_EQ(*dir, scratch.path() + "/");

    const std::string path = *dir + "preview0.pdf";
    const int fd = CreateNewPrivateFile(path);
    ASSERT_GE(fd, 0);
    close(fd);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(CreateNewPrivateFile(path), -1);
    EXPECT_EQ(errno, EEXIST);

    // A dangling link in the way is not followed.
    const std::string link = *dir + "preview1.pdf";
    ASSERT_EQ(symlink((*dir + "elsewhere").c_str(), link.c_str()), 0);
    EXPECT_EQ(CreateNewPrivateFile(link), -1);
    EXPECT_NE(access((*dir + "elsewhere").c_str(), F_OK), 0);

    // A directory others may write to only holds a private one of ours.
    ASSERT_EQ(chmod(scratch.path().c_str(), 01777), 0);
    const std::string own = scratch / ("quorvane-enroll-" + std::to_string(geteuid()));
    EXPECT_EQ(PrivateTempDir(), own + "/");
    ASSERT_EQ(lstat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
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

}  // namespace
}  // namespace qe
