#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "app/single_instance.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

TEST(SingleInstance, OneCopyHoldsTheLockUntilItEndsNeverThroughALink) {
    test::ScopedDir dir("lock");
    const std::string lock = dir / "QuorvaneEnroll MUTEX";
    // The runtime directory by default, with or without its final slash; or the one given.
    for (const std::string& runtime : {dir.path(), dir.path() + "/", std::string()}) {
        SCOPED_TRACE(runtime);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        auto first = std::make_unique<SingleInstance>(runtime.empty() ? dir.path() : "");
        EXPECT_FALSE(first->AlreadyRunning());
        EXPECT_EQ(access(lock.c_str(), F_OK), 0);
        EXPECT_TRUE(SingleInstance(dir.path()).AlreadyRunning());
        first.reset();
        EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning());
        unlink(lock.c_str());
    }
    // Another user's link where the lock goes, which would have the wizard create that user's
    // target, is not followed.
    ASSERT_EQ(symlink((dir / "target").c_str(), lock.c_str()), 0);
    EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning());
    EXPECT_NE(access((dir / "target").c_str(), F_OK), 0);
}

// A lock directory where no file can be made still keeps a second copy out.
TEST(SingleInstance, WithoutALockFileOneCopyStillHoldsTheLock) {
    test::ScopedDir dir("lock");
    test::WriteFile(dir / "file", "");
    for (const std::string& unusable : {dir / "missing", dir / "file"}) {
        SCOPED_TRACE(unusable);
        auto first = std::make_unique<SingleInstance>(unusable);
        EXPECT_FALSE(first->AlreadyRunning());
        EXPECT_TRUE(first->Held());
        EXPECT_TRUE(SingleInstance(unusable).AlreadyRunning());
        EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning()) << "another folder's lock";
        first.reset();
        EXPECT_FALSE(SingleInstance(unusable).AlreadyRunning());
    }
}

// Without a runtime directory, another user holding the temporary directory's name does not
// switch the lock off: it moves to the user's cache directory ($XDG_CACHE_HOME, else ~/.cache).
TEST(SingleInstance, ATakenTemporaryNameMovesTheLockToTheCache) {
    test::ScopedDir shared("shared"), home("home");
    ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
    const std::string taken = shared / ("quorvane-enroll-" + std::to_string(geteuid()));
    ASSERT_EQ(mkdir(taken.c_str(), 0755), 0);
    ASSERT_EQ(chmod(taken.c_str(), 0755), 0);
    const test::ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr),
        tmpdir("TMPDIR", shared.path().c_str()), userHome("HOME", home.path().c_str());
    for (const std::string cache : {"", "xdg"}) {
        const test::ScopedEnv xdg("XDG_CACHE_HOME",
                                  cache.empty() ? nullptr : (home / cache).c_str());
        SingleInstance first;
        EXPECT_FALSE(first.AlreadyRunning());
        EXPECT_TRUE(SingleInstance().AlreadyRunning());
        const std::string dir = cache.empty() ? home / ".cache" : home / cache;
        EXPECT_EQ(access((dir + "/quorvane-enroll/QuorvaneEnroll MUTEX").c_str(), F_OK), 0);
    }
}

}  // namespace
}  // namespace qe
