#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

TEST(SingleInstance, OneCopyHoldsTheLockInTheRuntimeDirectoryUntilItEnds) {
    test::ScopedDir dir("lock");
    const std::string lock = dir / "QuorvaneEnroll MUTEX";
    // The runtime directory by default, with or without its final slash; or the one given.
    for (const std::string& runtime : {dir.path(), dir.path() + "/", std::string()}) {
        SCOPED_TRACE(runtime);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        {
            auto first = std::make_unique<SingleInstance>(runtime.empty() ? dir.path() : "");
            EXPECT_FALSE(first->AlreadyRunning());
            EXPECT_EQ(access(lock.c_str(), F_OK), 0);
            EXPECT_TRUE(SingleInstance(dir.path()).AlreadyRunning());
            first.reset();
            EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning());
        }
        unlink(lock.c_str());
    }
}

TEST(SingleInstance, NoLockDirectoryDoesNotStopTheWizardAndALinkIsNotFollowed) {
    test::ScopedDir dir("lock");
    EXPECT_FALSE(SingleInstance(dir / "missing").AlreadyRunning());
    // Another user's link where the lock goes would have the wizard create that user's target.
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "QuorvaneEnroll MUTEX").c_str()), 0);
    EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning());
    EXPECT_NE(access((dir / "target").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace qe
