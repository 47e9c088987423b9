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

std::string DefaultLockDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        std::string dir = runtime;
        return dir.back() == '/' ? dir : dir + "/";
    }
    return PrivateTempDir().value_or(std::string());
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
    // Held until exit like the original mutex; closing here only matters in tests.
    if (fd_ >= 0) {
        close(fd_);
    }
}

}  // namespace qe
