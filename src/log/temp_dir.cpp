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
    std::string base = "/tmp";
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
        if (!IsDirectory(tmpdir)) {
            return std::nullopt;
        }
        base = tmpdir;
        while (base.size() > 1 && base.back() == '/') {
            base.pop_back();
        }
        // The user's own temporary directory serves as it is; a shared one (such as /tmp) only
        // holds ours.
        if (IsPrivateDirectory(base)) {
            return base == "/" ? base : base + "/";
        }
    }
    // mkdir either makes the directory ours or fails: one that exists already is accepted only
    // after the check below, so a directory planted under our name is refused, never used.
    const std::string dir =
        (base == "/" ? "" : base) + "/quorvane-enroll-" + std::to_string(geteuid());
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
