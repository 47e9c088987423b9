#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "log/enroll_log.h"
#include "support/scoped_dir.h"

namespace qe::test {

// A log text with each time stamp shown as "[T]".
inline std::string Unstamped(const std::string& text) {
    static const std::regex stamp(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])");
    return std::regex_replace(text, stamp, "[T]");
}

// The process-wide diagnostic log as support reads it, time stamps shown as "[T]". The
// log opens in $TMPDIR on first use and stays open until exit, so the test program gets a
// directory of its own for it (removed after the log has closed).
class ProcessLog {
public:
    ProcessLog() : start_(Size()) {}

    // What was written since this object was made (or since the last Restart). Only that part is
    // read: a test before may have logged answers of many megabytes.
    std::string Since() const {
        std::ifstream in(Path(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start_));
        return Unstamped(
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    void Restart() { start_ = Size(); }

    // The lines written since then in which `pattern` (ECMAScript) occurs, whole.
    std::vector<std::string> Lines(const std::string& pattern) const {
        const std::regex wanted(pattern);
        std::vector<std::string> found;
        for (const std::string& line : SplitLines(Since())) {
            if (std::regex_search(line, wanted)) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    static std::uintmax_t Size() { return std::filesystem::file_size(Path()); }
    static const std::string& Path() {
        static const ScopedDir dir("log");
        static const std::string path =
            (setenv("TMPDIR", dir.path().c_str(), 1), Log(), dir / kLogFileName);
        return path;
    }

    std::uintmax_t start_;
};

// Opened before any test runs, so that no earlier use puts the log elsewhere.
inline const bool kProcessLogOpened = (ProcessLog(), true);

}  // namespace qe::test
