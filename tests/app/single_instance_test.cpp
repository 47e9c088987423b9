#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "support/scoped_dir.h"

namespace qe {
namespace {

TEST(SingleInstance, SecondProcessSeesTheFirstAndTheLockDiesWithIt) {
    test::ScopedDir dir("lock");
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance first(dir.path());
        const char ok = first.AlreadyRunning() ? 'n' : 'y';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);
        _exit(0);  // the kernel drops the lock with the process
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    {
        SingleInstance second(dir.path());
        EXPECT_TRUE(second.AlreadyRunning());
    }
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    SingleInstance third(dir.path());
    EXPECT_FALSE(third.AlreadyRunning());
}

}  // namespace
}  // namespace qe
