#include "sim/sim_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/test_client.h"
#include "support/scoped_dir.h"

extern char** environ;

namespace qe::test {
namespace {

std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            return text;
        }
    }
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return DecodeStatus(status);
}

}  // namespace

std::string SimBinary() {
    return QE_SIM_BINARY;
}

CommandResult RunCommand(const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv = Argv(args);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
    }
    // Standard error is drained on its own thread so that neither pipe can fill up and stall.
    CommandResult result;
    std::thread errReader([&] { result.err = ReadAll(errPipe[0]); });
    result.out = ReadAll(outPipe[0]);
    errReader.join();
    close(outPipe[0]);
    close(errPipe[0]);
    result.status = WaitFor(pid);
    return result;
}

SimProcess::SimProcess(const std::string& stateDir, const std::vector<std::string>& extraArgs,
                       std::chrono::seconds timeout)
    : stateDir_(stateDir), logPath_(stateDir + ".stderr") {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args = {SimBinary(), "serve", "--state", stateDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv = Argv(args);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec. The server ends with its parent, so a test
        // that crashes leaves no server behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log < 0 || null < 0 || dup2(outPipe[1], 1) < 0 || dup2(log, 2) < 0 ||
            dup2(null, 0) < 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    const int forkError = errno;
    close(outPipe[1]);
    stdoutFd_ = outPipe[0];
    if (pid_ < 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
        throw std::runtime_error(std::string("cannot start the simulator: ") +
                                 std::strerror(forkError));
    }

    // The ready line, within the time limit.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readyLine_.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{stdoutFd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            Stop();
            throw std::runtime_error("no ready line from the simulator; its log:\n" + Log());
        }
        char c = 0;
        if (read(stdoutFd_, &c, 1) != 1) {
            Stop();
            throw std::runtime_error("the simulator ended before it was ready; its log:\n" + Log());
        }
        readyLine_.push_back(c);
    }
    static const std::regex kReady(R"(ready api=(\S+) rekey=(\S+) control=(\S+) ca=(\S+)\n)");
    std::smatch match;
    if (!std::regex_match(readyLine_, match, kReady)) {
        Stop();
        throw std::runtime_error("unexpected ready line: " + readyLine_);
    }
    api_ = match[1];
    rekey_ = match[2];
    control_ = match[3];
    caPath_ = match[4];
}

SimProcess::~SimProcess() {
    Stop();
}

std::unique_ptr<SimProcess> SimProcess::StartFresh(const std::vector<std::string>& extraArgs) {
    auto dir = std::make_unique<ScopedDir>("sim");
    auto process = std::make_unique<SimProcess>(*dir / "state", extraArgs);
    process->ownedDir_ = std::move(dir);
    return process;
}

CommandResult SimProcess::ProvisionToken(const std::string& module, const std::string& slotLabel,
                                         const std::string& pin, const std::string& subject,
                                         const std::string& email, const std::string& upn) const {
    return test::ProvisionToken(stateDir_, module, slotLabel, pin, subject, email, upn);
}

int SimProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        exitStatus_ = WaitFor(pid_);
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        laterStdout_ = ReadAll(stdoutFd_);
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    return exitStatus_;
}

std::string SimProcess::Log() const {
    return ReadFile(logPath_);
}

std::string SimProcess::ControlState() const {
    return HttpFetch("http://" + control_ + "/control/state").body;
}

long SimProcess::SetScenario(const std::string& json) const {
    HttpOptions options;
    options.method = "POST";
    options.body = json;
    return HttpFetch("http://" + control_ + "/control/scenario", options).status;
}

CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email,
                             const std::string& upn) {
    std::vector<std::string> args = {
        SimBinary(),    "provision-token", "--state", stateDir, "--module",  module,
        "--slot-label", slotLabel,         "--pin",   pin,      "--subject", subject};
    if (!email.empty()) {
        args.insert(args.end(), {"--email", email});
    }
    if (!upn.empty()) {
        args.insert(args.end(), {"--upn", upn});
    }
    return RunCommand(args);
}

}  // namespace qe::test
