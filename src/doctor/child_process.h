#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace qe {

// A file descriptor, closed when it goes.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    void Reset();

private:
    int fd_;
};

// A child's output beyond this is not kept.
inline constexpr std::size_t kMaxChildOutput = 16 << 20;

// How a child process ended and what it wrote.
struct ChildRun {
    enum class End { Exited, Signalled, TimedOut, NotStarted };
    End end = End::NotStarted;
    int code = 0;  // exit status, signal number, or the errno of a failed start
    std::string output;
};

// Runs `argv` (argv[0] the program's path) with this process's environment, its standard input
// from /dev/null and its standard output read here, until it ends or `limit` has passed; then a
// child still running is killed (SIGKILL) and reaped. The child is started with posix_spawn, so
// other threads of this process may run meanwhile.
ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace qe
