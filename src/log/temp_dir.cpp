#include "log/temp_dir.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qe {
namespace {

bool IsDirectory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Our own directory must be ours alone: a real directory, owned by us, closed to everyone else.
bool IsPrivateDirectory(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

std::optional<std::string> PrivateTempDir() {
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
        if (!IsDirectory(tmpdir)) {
            return std::nullopt;
        }
        std::string dir = tmpdir;
        if (dir.back() != '/') {
            dir.push_back('/');
        }
        return dir;
    }
    const std::string dir = "/tmp/quorvane-enroll-" + std::to_string(geteuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::nullopt;
    }
    if (!IsPrivateDirectory(dir)) {
        return std::nullopt;
    }
    return dir + "/";
}

int CreateNewPrivateFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace qe
