#include "log/enroll_log.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/temp_dir.h"

namespace qe {
namespace {

constexpr const char* kStartBanner =
    "\n\n\n################################START###################################\n\n";
constexpr const char* kStopBanner =
    "\n\n\n################################STOP####################################\n\n\n\n\n";

std::atomic<bool> g_keepClosed{false};

bool SameLocalDay(std::time_t a, std::time_t b) {
    std::tm ta{};
    std::tm tb{};
    if (localtime_r(&a, &ta) == nullptr || localtime_r(&b, &tb) == nullptr) {
        return false;
    }
    return ta.tm_year == tb.tm_year && ta.tm_mon == tb.tm_mon && ta.tm_mday == tb.tm_mday;
}

// Opens the log file for appending when it was last written today, else empties it. Refuses
// links and anything that is not a regular file of ours.
std::FILE* OpenLogFile(const std::string& path) {
    struct stat st {};
    bool append = false;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            return nullptr;
        }
        append = SameLocalDay(st.st_mtime, std::time(nullptr));
    }
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = open(path.c_str(), flags, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, append ? "a" : "w");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

}  // namespace

CEnrollLog::CEnrollLog(const std::string& path) : file_(OpenLogFile(path)) {
    std::lock_guard lock(mutex_);
    WriteRaw(kStartBanner);
    WriteRaw("Version: ");
    WriteRaw(kProgramVersion);
    WriteRaw("\n\n");
    if (file_ != nullptr) {
        std::fflush(file_);
    }
}

CEnrollLog::~CEnrollLog() {
    std::lock_guard lock(mutex_);
    WriteRaw(kStopBanner);
    tags_.clear();
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void CEnrollLog::WriteRaw(const char* text) {
    if (file_ != nullptr) {
        std::fputs(text, file_);
    }
}

void CEnrollLog::Write(std::string message) {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr) {
        return;
    }
    char stamp[64] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &local);
    }
    std::fputc('[', file_);
    std::fputs(stamp, file_);
    std::fputc(']', file_);
    for (const std::string& tag : tags_) {
        std::fputc('[', file_);
        std::fputs(tag.c_str(), file_);
        std::fputc(']', file_);
    }
    std::fputc(' ', file_);
    std::fputs(message.c_str(), file_);  // stops at the first zero byte
    std::fputc('\n', file_);
    std::fflush(file_);
}

void CEnrollLog::PushTag(std::string tag) {
    std::lock_guard lock(mutex_);
    tags_.push_back(std::move(tag));
}

void CEnrollLog::PopTag() {
    std::lock_guard lock(mutex_);
    if (!tags_.empty()) {
        tags_.pop_back();
    }
}

CEnrollLog& Log() {
    static CEnrollLog log([] {
        if (g_keepClosed) {
            return std::string();  // no file by that name can be opened: the log stays inert
        }
        const auto dir = PrivateTempDir();
        return dir ? *dir + kLogFileName : std::string();
    }());
    return log;
}

void KeepLogClosed() {
    g_keepClosed = true;
}

std::string HexReversed(std::size_t count, const std::uint8_t* bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = count; i > 0; --i) {
        out.push_back(kDigits[bytes[i - 1] >> 4]);
        out.push_back(kDigits[bytes[i - 1] & 0x0F]);
    }
    return out;
}

}  // namespace qe
