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

// Process-wide like the log itself, the one file every layer writes to: chosen by the program
// before its first line. Null: inert.
std::atomic<const char*> g_fileName{kLogFileName};

bool SameLocalDay(std::time_t a, std::time_t b) {
    std::tm ta{};
    std::tm tb{};
    if (localtime_r(&a, &ta) == nullptr || localtime_r(&b, &tb) == nullptr) {
        return false;
    }
    return ta.tm_year == tb.tm_year && ta.tm_mon == tb.tm_mon && ta.tm_mday == tb.tm_mday;
}

// Opens the log file for appending when it was last written today, else empties it. Only a
// regular file of ours with no other name is taken, and it is checked on the open descriptor, so
// nothing can be swapped in between the check and the writing.
std::FILE* OpenLogFile(const std::string& path) {
    const int fd = open(path.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    const bool usable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                        st.st_nlink == 1 &&
                        // A file left readable by an earlier version is closed to others first.
                        ((st.st_mode & 077) == 0 || fchmod(fd, 0600) == 0) &&
                        (SameLocalDay(st.st_mtime, std::time(nullptr)) || ftruncate(fd, 0) == 0);
    std::FILE* file = usable ? fdopen(fd, "a") : nullptr;
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
        const char* name = g_fileName;
        if (name == nullptr) {
            return std::string();  // no file by that name can be opened: the log stays inert
        }
        const auto dir = PrivateTempDir();
        return dir ? *dir + name : std::string();
    }());
    return log;
}

void KeepLogClosed() {
    g_fileName = nullptr;
}

void WriteLogTo(const char* fileName) {
    g_fileName = fileName;
}

}  // namespace qe
