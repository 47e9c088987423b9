#include "doctor/log_tail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "log/enroll_log.h"
#include "log/temp_dir.h"

namespace qe {

std::string DiagnosticLogPath() {
    const auto dir = PrivateTempDir();
    return dir ? *dir + kLogFileName : std::string();
}

int ReadFileTail(const std::string& path, std::size_t maxBytes, std::string& text) {
    text.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int status = 0;
    if (fstat(fd, &st) != 0) {
        status = errno;
    } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        status = EPERM;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    const std::size_t start = size > maxBytes ? size - maxBytes : 0;
    if (status == 0 && lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
        status = errno;
    }
    std::string content;
    while (status == 0 && content.size() < maxBytes) {
        char buffer[8192];
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, maxBytes - content.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            status = errno;
        } else if (n == 0) {
            break;
        } else {
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (status != 0) {
        return status;
    }
    if (start > 0) {
        const std::size_t newline = content.find('\n');
        content.erase(0, newline == std::string::npos ? content.size() : newline + 1);
    }
    text = std::move(content);
    return 0;
}

std::vector<std::string> LastLines(const std::string& text, std::size_t count) {
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    std::size_t end = text.size() - (text.back() == '\n' ? 1 : 0);
    while (lines.size() < count) {
        const std::size_t newline = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
        const std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
        lines.push_back(text.substr(begin, end - begin));
        if (newline == std::string::npos) {
            break;
        }
        end = newline;
    }
    std::reverse(lines.begin(), lines.end());
    return lines;
}

}  // namespace qe
