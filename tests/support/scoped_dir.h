#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qe::test {

// A fresh directory below the run's scratch space, removed with everything in it at scope end.
class ScopedDir {
public:
    explicit ScopedDir(const std::string& stem = "t") {
        const char* base = std::getenv("QE_TEST_TMP");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + stem + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        path_ = pattern;
    }
    ~ScopedDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScopedDir(const ScopedDir&) = delete;
    ScopedDir& operator=(const ScopedDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets (with nullptr: unsets) an environment variable until the scope ends.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name.c_str()); old != nullptr) {
            old_ = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Set(const char* value) {
        if (value != nullptr) {
            setenv(name_.c_str(), value, 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

}  // namespace qe::test
