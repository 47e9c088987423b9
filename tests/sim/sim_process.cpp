#include "sim/sim_process.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <regex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/test_client.h"
#include "support/scoped_dir.h"

namespace qe::test {
namespace {

// Starts a program (searched on PATH) with standard input from /dev/null and its outputs into
// `out` and `err`; it ends with the test that started it.
pid_t Spawn(const std::vector<std::string>& args, int out, int err) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDONLY);
        if (getppid() != parent || null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0) {
            _exit(127);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int WaitFor(pid_t pid, int options = 0) {
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, options)) < 0 && errno == EINTR) {
    }
    if (ended <= 0) {
        return ended == 0 ? INT_MIN : -1;  // still running, or not ours
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string ReadBack(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& args) {
    // Both outputs go to files, so that neither can fill up and stall the command.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = WaitFor(Spawn(args, fileno(out), fileno(err)));
    return {status, ReadBack(out), ReadBack(err)};
}

SimProcess::SimProcess(const std::string& stateDir, const std::vector<std::string>& extraArgs)
    : logPath_(stateDir + ".stderr"), outPath_(stateDir + ".stdout") {
    std::vector<std::string> args = {QE_SIM_BINARY, "serve", "--state", stateDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = Spawn(args, out, log);
    close(out);
    close(log);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string ready;
    while ((ready = ReadFile(outPath_)).find('\n') == std::string::npos && pid_ > 0) {
        if ((exitStatus_ = WaitFor(pid_, WNOHANG)) != INT_MIN) {
            pid_ = -1;  // ended before it was ready
        } else if (std::chrono::steady_clock::now() > deadline) {
            Stop();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    static const std::regex kReady(R"(ready api=(\S+) rekey=(\S+) control=(\S+) ca=(\S+)\n)");
    std::smatch match;
    if (!std::regex_match(ready, match, kReady)) {
        Stop();
        throw std::runtime_error("the simulator did not start; its log:\n" + Log());
    }
    api_ = match[1];
    rekey_ = match[2];
    control_ = match[3];
    caPath_ = match[4];
}

int SimProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        exitStatus_ = WaitFor(pid_);
        pid_ = -1;
    }
    return exitStatus_;
}

std::string SimProcess::Output() const {
    return ReadFile(outPath_);
}

std::string SimProcess::Log() const {
    return ReadFile(logPath_);
}

std::string SimProcess::ControlState() const {
    return HttpFetch(control_, "/control/state").body;
}

int SimProcess::SetScenario(const std::string& json) const {
    return HttpFetch(control_, "/control/scenario", {}, json).status;
}

CommandResult ProvisionToken(const std::string& stateDir, const std::string& module,
                             const std::string& slotLabel, const std::string& pin,
                             const std::string& subject, const std::string& email,
                             const std::string& upn) {
    std::vector<std::string> args = {
        QE_SIM_BINARY,  "provision-token", "--state", stateDir, "--module",  module,
        "--slot-label", slotLabel,         "--pin",   pin,      "--subject", subject};
    for (const auto& [name, value] : {std::pair{"--email", email}, {"--upn", upn}}) {
        if (!value.empty()) {
            args.insert(args.end(), {name, value});
        }
    }
    return RunCommand(args);
}

}  // namespace qe::test
