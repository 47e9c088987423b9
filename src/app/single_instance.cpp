#include "app/single_instance.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/temp_dir.h"

namespace qe {
namespace {

// The user's own cache directory, for the lock when the shared temporary name is taken: no other
// user can make it first.
std::string CacheLockDirectory() {
    std::string base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        base = std::string(home) + "/.cache";
    } else {
        return {};
    }
    mkdir(base.c_str(), 0700);
    const std::string dir = base + "/quorvane-enroll";
    mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0) {
        return {};
    }
    return dir + "/";
}

std::string DefaultLockDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        std::string dir = runtime;
        return dir.back() == '/' ? dir : dir + "/";
    }
    if (auto dir = PerUserTempDir(false)) {
        return *dir;
    }
    return CacheLockDirectory();
}

}  // namespace

SingleInstance::SingleInstance(const std::string& lockDirectory) {
    std::string dir = lockDirectory.empty() ? DefaultLockDirectory() : lockDirectory;
    if (dir.empty()) {
        return;
    }
    if (dir.back() != '/') {
        dir.push_back('/');
    }
    const std::string path = dir + kInstanceLockName;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        return;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        alreadyRunning_ = (errno == EWOULDBLOCK);
        close(fd_);
        fd_ = -1;
    }
}

SingleInstance::~SingleInstance() {
    // The program holds it until it exits; closing here only matters in tests.
    if (fd_ >= 0) {
        close(fd_);
    }
}

}  // namespace qe
