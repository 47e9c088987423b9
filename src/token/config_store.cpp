#include "token/config_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace qe {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxValueFileSize = 1 << 20;
constexpr std::size_t kMaxCopiedValueSize = 16383;
constexpr std::size_t kMaxValueNameLength = 255;
constexpr std::size_t kMaxSubkeyNameLength = 260;
constexpr int kMaxKeyDepth = 32;

bool IsAbsolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

}  // namespace

std::string UserHomeDirectory() {
    const char* home = std::getenv("HOME");
    if (IsAbsolute(home)) {
        return home;
    }
    const passwd* entry = getpwuid(getuid());
    if (entry != nullptr && IsAbsolute(entry->pw_dir)) {
        return entry->pw_dir;
    }
    return "/";
}

namespace {

int ErrnoOr(int fallback) {
    return errno != 0 ? errno : fallback;
}

// Reads a whole regular file (links to regular files are followed), refusing anything larger
// than `limit`.
int ReadRegularFile(const std::string& path, std::size_t limit, std::string& data) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return ErrnoOr(EIO);
    }
    struct stat st {};
    int status = 0;
    if (fstat(fd, &st) != 0) {
        status = ErrnoOr(EIO);
    } else if (!S_ISREG(st.st_mode)) {
        status = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (static_cast<std::size_t>(st.st_size) > limit) {
        status = EFBIG;
    }
    std::string content;
    while (status == 0) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = ErrnoOr(EIO);
        } else if (n == 0) {
            break;
        } else if (content.size() + static_cast<std::size_t>(n) > limit) {
            status = EFBIG;  // the file grew while we read it
        } else {
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (status == 0) {
        data = std::move(content);
    }
    return status;
}

int WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrnoOr(EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int CopyKey(const fs::path& source, const fs::path& target,
            const std::vector<std::string>& multiStrings, int depth) {
    struct stat st {};
    if (lstat(source.c_str(), &st) != 0) {
        return ErrnoOr(ENOENT);
    }
    if (!S_ISDIR(st.st_mode)) {
        return ENOTDIR;
    }
    std::error_code ec;
    fs::directory_iterator it(source, ec);
    if (ec) {
        return ec.value();
    }
    std::vector<fs::directory_entry> subkeys;
    std::vector<fs::directory_entry> values;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::error_code typeError;
        if (entry.is_symlink(typeError)) {
            // A linked file is still a value; a linked directory could loop, so it is no subkey.
            if (entry.is_regular_file(typeError)) {
                values.push_back(entry);
            }
        } else if (entry.is_directory(typeError)) {
            subkeys.push_back(entry);
        } else if (entry.is_regular_file(typeError)) {
            values.push_back(entry);
        }
    }
    if (ec) {
        return ec.value();
    }
    fs::create_directories(target, ec);
    if (ec) {
        return ec.value();
    }
    const auto byName = [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename() < b.path().filename();
    };
    std::sort(subkeys.begin(), subkeys.end(), byName);
    std::sort(values.begin(), values.end(), byName);

    if (depth < kMaxKeyDepth) {
        for (const fs::directory_entry& subkey : subkeys) {
            const std::string name = subkey.path().filename().string();
            if (name.size() <= kMaxSubkeyNameLength) {
                CopyKey(subkey.path(), target / name, multiStrings, depth + 1);
            }
        }
    }
    int status = 0;
    for (const fs::directory_entry& value : values) {
        const std::string name = value.path().filename().string();
        std::string data;
        // A value too large for the copy buffer is left out rather than ending the copy.
        if (name.size() > kMaxValueNameLength ||
            ReadRegularFile(value.path().string(), kMaxCopiedValueSize, data) != 0) {
            continue;
        }
        const bool multiString =
            std::find(multiStrings.begin(), multiStrings.end(), name) != multiStrings.end();
        status =
            WriteConfigValue(target.string(), name, multiString ? data : ExpandDollarOnce(data));
    }
    return status;
}

}  // namespace

std::string UserConfigHome() {
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    if (IsAbsolute(configured)) {
        return configured;
    }
    return UserHomeDirectory() + "/.config";
}

std::string MachineConfigHome() {
    const char* configured = std::getenv("XDG_CONFIG_DIRS");
    if (configured != nullptr) {
        std::string_view dirs(configured);
        while (!dirs.empty()) {
            const std::size_t colon = dirs.find(':');
            const std::string_view entry = dirs.substr(0, colon);
            if (!entry.empty() && entry.front() == '/') {
                return std::string(entry);
            }
            if (colon == std::string_view::npos) {
                break;
            }
            dirs.remove_prefix(colon + 1);
        }
    }
    return "/etc/xdg";
}

int ReadConfigValue(const std::string& keyDir, const std::string& name, std::string& data) {
    return ReadRegularFile(keyDir + "/" + name, kMaxValueFileSize, data);
}

int WriteConfigValue(const std::string& keyDir, const std::string& name, const std::string& data) {
    std::error_code ec;
    fs::create_directories(keyDir, ec);
    if (ec) {
        return ec.value();
    }
    std::string temporary = keyDir + "/." + name + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return ErrnoOr(EIO);
    }
    int status = WriteAll(fd, data);
    if (status == 0 && fsync(fd) != 0) {
        status = ErrnoOr(EIO);
    }
    if (close(fd) != 0 && status == 0) {
        status = ErrnoOr(EIO);
    }
    const std::string path = keyDir + "/" + name;
    if (status == 0 && rename(temporary.c_str(), path.c_str()) != 0) {
        status = ErrnoOr(EIO);
    }
    if (status != 0) {
        unlink(temporary.c_str());
    }
    return status;
}

std::string ExpandDollarOnce(const std::string& value) {
    const std::size_t dollar = value.find('$');
    if (dollar == std::string::npos) {
        return value;
    }
    std::size_t end = dollar + 1;
    while (end < value.size() && value[end] >= 'A' && value[end] <= 'Z') {
        ++end;
    }
    const std::string name = value.substr(dollar + 1, end - dollar - 1);
    const char* replacement = name.empty() ? nullptr : std::getenv(name.c_str());
    if (replacement == nullptr) {
        return value;
    }
    return value.substr(0, dollar) + replacement + value.substr(end);
}

int CopyConfigKey(const std::string& source, const std::string& target,
                  const std::vector<std::string>& multiStrings) {
    return CopyKey(source, target, multiStrings, 0);
}

}  // namespace qe
