#include "log/temp_dir.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

// A fixed table, so a signal handler can walk it: a slot's path is written only while the slot
// is claimed and read only while it is ready.
enum SlotState : int { kFree, kClaimed, kReady };
struct ExitFile {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
std::array<ExitFile, 8> exitFiles;

}  // namespace

// The one folder that stands in for a temporary name someone else holds: in the user's cache
// directory, where nobody else can make it first and every run (the doctor's too) finds it again.
std::optional<std::string> CacheFallbackDir() {
    std::string base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        base = std::string(home) + "/.cache";
    } else {
        return std::nullopt;
    }
    mkdir(base.c_str(), 0700);
    const std::string dir = base + "/quorvane-enroll";
    if ((mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && IsPrivateDirectory(dir)) {
        return dir + "/";
    }
    return std::nullopt;
}

std::string StateDir() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
        return std::string(state) + "/quorvane-enroll";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/state/quorvane-enroll";
    }
    return {};
}

bool ReplaceFile(const std::string& path, const std::string& content) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    const std::string temporary = path + ".new";
    // Whatever is there (a leftover, or a link planted to have another file written) goes; the
    // file is then made anew or not at all.
    unlink(temporary.c_str());
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == content.size() && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
    if (close(fd) != 0 || !complete || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    // The new name is on the disk only once its folder is.
    const int folder =
        open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && fsync(folder) == 0;
    if (folder >= 0) {
        close(folder);
    }
    return synced;
}

std::optional<std::string> PerUserTempDir(bool fallbackWhenTaken) {
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
    if ((mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && IsPrivateDirectory(dir)) {
        return dir + "/";
    }
    return fallbackWhenTaken ? CacheFallbackDir() : std::nullopt;
}

std::optional<std::string> PrivateTempDir() {
    return PerUserTempDir(true);
}

int CreateNewPrivateFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool RegisterExitRemoval(const std::string& path) {
    if (path.empty() || path.size() >= PATH_MAX) {
        return false;
    }
    for (ExitFile& slot : exitFiles) {
        int expected = kFree;
        if (slot.state.compare_exchange_strong(expected, kClaimed)) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.state = kReady;
            return true;
        }
    }
    return false;
}

void ForgetExitRemoval(const std::string& path) {
    for (ExitFile& slot : exitFiles) {
        int expected = kReady;
        if (slot.state.compare_exchange_strong(expected, kClaimed)) {
            slot.state = path == slot.path ? kFree : kReady;
        }
    }
}

void RemoveRegisteredFiles() noexcept {
    static_assert(std::atomic<int>::is_always_lock_free);
    for (ExitFile& slot : exitFiles) {
        if (slot.state.load() == kReady) {
            unlink(slot.path);
        }
    }
}

}  // namespace qe
