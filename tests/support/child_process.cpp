#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace qe::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& dir) {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a program that ended fails instead
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) {
        close(input_);
        close(output_);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    reader_ = std::thread(&ChildProcess::Read, this);
}

ChildProcess::~ChildProcess() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(input_);
    reader_.join();
    close(output_);
}

void ChildProcess::Read() {
    char buffer[65536];
    for (ssize_t n; (n = read(output_, buffer, sizeof buffer)) > 0;) {
        std::lock_guard lock(mutex_);
        collected_.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void ChildProcess::Write(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(input_, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

bool ChildProcess::CloseInput(Seconds limit) {
    close(std::exchange(input_, -1));
    WaitUntil([](const std::string&) { return false; }, limit);
    return Ended();
}

std::string ChildProcess::Output() const {
    std::lock_guard lock(mutex_);
    return collected_;
}

bool ChildProcess::Ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

bool ChildProcess::WaitUntil(const std::function<bool(const std::string&)>& done, Seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(mutex_);
    while (!done(collected_)) {
        if (ended_ || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

int UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace qe::test
