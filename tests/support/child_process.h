#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qe::test {

// A program run for a test in a process group of its own: its output (standard output and error
// together) is collected as it comes, its standard input stays open for Write, and the group is
// killed and the program reaped at scope end.
class ChildProcess {
public:
    using Seconds = std::chrono::seconds;

    ChildProcess(const std::vector<std::string>& argv, const std::string& dir = ".");
    ~ChildProcess();

    void Write(const std::string& text);
    // Closes the program's standard input, as one that ends with it expects, and waits up to
    // `limit` for it to end; true when it did.
    bool CloseInput(Seconds limit = Seconds(20));
    std::string Output() const;
    bool Ended() const;
    // Waits until `done` holds for the output so far; false if the program ended first or the
    // time ran out. `done` is asked again as output comes and every 20 ms besides.
    bool WaitUntil(const std::function<bool(const std::string&)>& done,
                   Seconds limit = Seconds(20));
    bool WaitFor(const std::string& text, Seconds limit = Seconds(20)) {
        return WaitUntil([&text](const std::string& out) { return out.find(text) != out.npos; },
                         limit);
    }

private:
    void Read();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string collected_;
    bool ended_ = false;
    std::thread reader_;
};

// A port nothing listens on right now; a program given it may still lose it to another.
int UnusedPort();

}  // namespace qe::test
