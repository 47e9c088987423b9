#include "doctor/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace qe {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a child is looked at while its output is quiet.
constexpr milliseconds kPollStep{50};
// How long a killed child may take to go: one stuck in the kernel (a hung USB transfer) is left
// to init rather than holding up the report.
constexpr milliseconds kReapWait{2000};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

// A started child: killed and reaped when it goes, unless it was seen to end.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        int status = 0;
        if (Ended(status)) {
            return;  // its pid may belong to another process by now
        }
        kill(pid_, SIGKILL);
        const auto deadline = Clock::now() + kReapWait;
        while (!Ended(status) && Clock::now() < deadline) {
            poll(nullptr, 0, 20);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Whether the child has ended (reaped, with its wait status in `status`); never blocks.
    bool Ended(int& status) {
        if (ended_) {
            return true;
        }
        pid_t result = 0;
        do {
            result = waitpid(pid_, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        // An error but EINTR means there is nothing left to wait for.
        ended_ = result != 0;
        return ended_;
    }

private:
    pid_t pid_;
    bool ended_ = false;
};

// Reads what the pipe holds now. Returns false once it is closed (or broken).
bool Drain(int fd, std::string& output) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const std::size_t room = kMaxChildOutput - std::min(kMaxChildOutput, output.size());
            output.append(buffer, std::min(static_cast<std::size_t>(n), room));
        } else if (n == 0 || errno != EINTR) {
            return n < 0 && errno == EAGAIN;
        }
    }
}

}  // namespace

void UniqueFd::Reset() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
}

ChildRun RunChild(const std::vector<std::string>& argv, milliseconds limit) {
    ChildRun run;
    const auto deadline = Clock::now() + limit;
    int ends[2] = {-1, -1};
    if (argv.empty() || pipe2(ends, O_CLOEXEC) != 0) {
        run.code = argv.empty() ? ENOENT : errno;
        return run;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    // Only this end waits without blocking: the child's writes must block when the pipe is full.
    fcntl(readEnd.get(), F_SETFL, fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    SpawnActions spawn;
    posix_spawn_file_actions_adddup2(&spawn.actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    run.code = posix_spawn(&pid, args[0], &spawn.actions, nullptr, args.data(), environ);
    writeEnd.Reset();
    if (run.code != 0) {
        return run;
    }
    Child child(pid);
    bool open = true;
    int status = 0;
    for (;;) {
        open = open && Drain(readEnd.get(), run.output);
        if (child.Ended(status)) {
            // What it wrote before it ended is in the pipe.
            Drain(readEnd.get(), run.output);
            break;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            run.end = ChildRun::End::TimedOut;
            return run;
        }
        // A closed pipe is left out: poll then only waits.
        pollfd ready{open ? readEnd.get() : -1, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::min(left, kPollStep).count()));
    }
    const bool signalled = WIFSIGNALED(status);
    run.end = signalled ? ChildRun::End::Signalled : ChildRun::End::Exited;
    run.code = signalled ? WTERMSIG(status) : WEXITSTATUS(status);
    return run;
}

}  // namespace qe
