#include "sim/atomic_file.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qe::sim {
namespace {

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool SyncDirectory(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
    const std::filesystem::path target(path);
    const std::string dir =
        target.has_parent_path() ? target.parent_path().string() : std::string(".");
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return SyncDirectory(dir);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return content;
}

bool EnsureDirectory(const std::string& path, mode_t mode) {
    std::error_code ec;
    const bool created = std::filesystem::create_directories(path, ec);
    if (ec) {
        return false;
    }
    // A directory the user made stays as they made it; ours start private.
    if (created && chmod(path.c_str(), mode) != 0) {
        return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace qe::sim
