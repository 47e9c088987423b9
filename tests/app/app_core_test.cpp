#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/single_instance.h"
#include "support/scoped_dir.h"

namespace qe {
namespace {

// One copy holds the lock until it ends: in the runtime directory by default (with or without its
// final slash), or in the folder given. A folder where no lock file can be made still keeps a
// second copy out, of that folder only.
TEST(SingleInstance, OneCopyHoldsTheLockUntilItEndsNeverThroughALink) {
    test::ScopedDir dir("lock");
    const std::string lock = dir / "QuorvaneEnroll MUTEX";
    test::WriteFile(dir / "file", "");
    const std::string& d = dir.path();
    // XDG_RUNTIME_DIR and the folder given
    const std::pair<std::string, std::string> cases[] = {
        {d, ""}, {d + "/", ""}, {"", d}, {"", d + "/missing"}, {"", d + "/file"}};
    for (const auto& [runtime, given] : cases) {
        SCOPED_TRACE(runtime + given);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const std::string folder = given.empty() ? d : given;
        auto first = std::make_unique<SingleInstance>(given);
        EXPECT_FALSE(first->AlreadyRunning());
        EXPECT_TRUE(first->Held());
        EXPECT_EQ(access(lock.c_str(), F_OK) == 0, folder == d);
        EXPECT_TRUE(SingleInstance(folder).AlreadyRunning());
        EXPECT_EQ(SingleInstance(d).AlreadyRunning(), folder == d);
        first.reset();
        EXPECT_FALSE(SingleInstance(folder).AlreadyRunning());
        unlink(lock.c_str());
    }
    // Another user's link where the lock goes, which would have the wizard create that user's
    // target, is not followed.
    ASSERT_EQ(symlink((dir / "target").c_str(), lock.c_str()), 0);
    EXPECT_FALSE(SingleInstance(dir.path()).AlreadyRunning());
    EXPECT_NE(access((dir / "target").c_str(), F_OK), 0);
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

// Another user's program at the socket's name with a full queue, or a running copy's queue filled,
// neither stops nor holds up a new copy; a running copy answers the copies that looked.
TEST(SingleInstance, AnotherUsersSocketOrAFullQueueNeitherStopsNorHoldsTheStart) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "another user's squatter needs root";
    }
    test::ScopedDir dir("lock");
    const std::string locks[] = {dir.path(), dir / "missing"};  // with and without the lock file
    sockaddr_un names[2] = {};
    socklen_t length[2] = {sizeof names[0], sizeof names[1]};
    auto address = [&](int i) { return reinterpret_cast<sockaddr*>(&names[i]); };
    for (int i : {0, 1}) {
        SingleInstance named(locks[i]);  // the names, as the wizard makes them
        ASSERT_EQ(getsockname(named.ListeningSocket(), address(i), &length[i]), 0);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t squatter = fork();
    if (squatter == 0) {  // nobody's sockets, each with a queue of one that it fills itself
        bool held = setgid(65534) == 0 && setuid(65534) == 0;
        for (int i : {0, 1}) {
            const int s = socket(AF_UNIX, SOCK_STREAM, 0), filler = socket(AF_UNIX, SOCK_STREAM, 0);
            held = held && bind(s, address(i), length[i]) == 0 && listen(s, 0) == 0 &&
                   connect(filler, address(i), length[i]) == 0;
        }
        _exit(held && write(ready[1], "r", 1) == 1 ? pause() : 1);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_FALSE(SingleInstance(locks[0]).AlreadyRunning());
    EXPECT_EQ(SingleInstance(locks[1]).FoundPeer(), SingleInstance::Peer::Unanswered);
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);

    SingleInstance running(locks[1]);
    for (bool queued = true; queued;) {  // a copy that looked leaves its connection queued
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        queued = connect(s, address(1), length[1]) == 0;
        close(s);
    }
    EXPECT_EQ(SingleInstance(locks[1]).FoundPeer(), SingleInstance::Peer::Unanswered);
    running.AnswerWaiting();
    EXPECT_TRUE(SingleInstance(locks[1]).AlreadyRunning());
}

}  // namespace
}  // namespace qe
