#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qe {

inline constexpr const char* kProgramVersion = "2.7.23";
inline constexpr const char* kLogFileName = "enrolllog.txt";
// The expiry reminder's own log beside it: the daily check must not empty the wizard's.
inline constexpr const char* kReminderLogFileName = "reminderlog.txt";

// The diagnostic log: one file in the private temporary directory, one flushed line per event,
// each line stamped with the local time and the scope tags open at that moment. The file keeps the
// runs of one calendar day and starts afresh on the first run of another day. When the file cannot
// be opened the log is silently inert. Lines written from several threads never interleave.
class CEnrollLog {
public:
    // Opens `path` (append when it was last written today, otherwise truncate) and writes the
    // START banner and the version line. The file is created with mode 0600 and never through a
    // link; an existing file is used only when it is a regular file of the user's with no other
    // name, and is closed to others (0600).
    explicit CEnrollLog(const std::string& path);
    // Writes the STOP banner and closes the file.
    ~CEnrollLog();
    CEnrollLog(const CEnrollLog&) = delete;
    CEnrollLog& operator=(const CEnrollLog&) = delete;

    // One line: [time][tag]...[tag] message. The message is written verbatim up to its first zero
    // byte; it is never used as a format string.
    void Write(std::string message);
    void PushTag(std::string tag);
    // Removes the newest tag; nothing happens on an empty stack.
    void PopTag();

    bool IsOpen() const { return file_ != nullptr; }

private:
    void WriteRaw(const char* text);

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::vector<std::string> tags_;
};

// The process-wide log at <private temp dir>/enrolllog.txt, opened on first use. The program uses
// it first thing, so it is open before anything else runs and closed last.
CEnrollLog& Log();

// Makes the process-wide log inert for a program that only reads the wizard's log: opening it
// would add banners to the file, or empty it on a new day. Call before the first Log().
void KeepLogClosed();

// Makes the process-wide log write to `fileName` (a constant) in the private temporary directory
// instead of the wizard's log. Call before the first Log().
void WriteLogTo(const char* fileName);

// Pushes a tag for the life of a scope, so the tag is popped on every way out.
class LogTag {
public:
    explicit LogTag(std::string tag) { Log().PushTag(std::move(tag)); }
    ~LogTag() { Log().PopTag(); }
    LogTag(const LogTag&) = delete;
    LogTag& operator=(const LogTag&) = delete;
};

}  // namespace qe
