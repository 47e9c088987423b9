#include "app/single_instance.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "log/temp_dir.h"

namespace qe {
namespace {

std::string DefaultLockDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
        std::string dir = runtime;
        return dir.back() == '/' ? dir : dir + "/";
    }
    if (auto dir = PerUserTempDir(false)) {
        return *dir;
    }
    // The shared temporary name taken: the user's own cache folder, which no other user can make.
    return CacheFallbackDir().value_or("");
}

// The abstract socket's name: the user and the lock directory, so that copies that look for the
// same lock file meet at the same name whether or not the file could be made.
sockaddr_un SocketAddress(const std::string& dir, socklen_t& length) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a: a long directory still fits
    for (const char c : dir) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int written = std::snprintf(
        address.sun_path + 1, sizeof address.sun_path - 1, "%s/%u/%016llx", kInstanceLockName,
        static_cast<unsigned>(geteuid()), static_cast<unsigned long long>(hash));
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + written);
    return address;
}

// How long a copy waits for the running one's socket to take its connection.
constexpr int kAnswerTries = 10;
constexpr useconds_t kAnswerPause = 50000;

// Yes when a copy of this user listens at `address`; another user's socket of that name proves
// nothing and must not keep the wizard from starting. Never blocks: a socket whose queue stays full
// (anyone may fill an abstract socket's) is Unanswered after half a second.
SingleInstance::Peer FindPeer(const sockaddr_un& address, socklen_t length) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return SingleInstance::Peer::None;
    }
    int rc = -1;
    for (int i = 0; i < kAnswerTries; ++i) {
        rc = connect(probe, reinterpret_cast<const sockaddr*>(&address), length);
        if (rc == 0 || errno != EAGAIN) {
            break;
        }
        usleep(kAnswerPause);
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    SingleInstance::Peer found = SingleInstance::Peer::None;
    if (rc == 0) {
        found =
            getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid()
                ? SingleInstance::Peer::Ours
                : SingleInstance::Peer::None;
    } else if (errno == EAGAIN) {
        found = SingleInstance::Peer::Unanswered;
    }
    close(probe);
    return found;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& lockDirectory) {
    std::string dir = lockDirectory.empty() ? DefaultLockDirectory() : lockDirectory;
    if (!dir.empty() && dir.back() != '/') {
        dir.push_back('/');
    }
    if (!dir.empty()) {
        const std::string path = dir + kInstanceLockName;
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            alreadyRunning_ = (errno == EWOULDBLOCK);
            close(fd_);
            fd_ = -1;
        }
    }
    // Also an abstract socket, which needs no writable folder: a copy whose lock file cannot be
    // made (a read-only runtime folder, none at all) still finds the running one, or holds it.
    socklen_t length = 0;
    const sockaddr_un address = SocketAddress(dir, length);
    socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ >= 0 && (bind(socket_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
                         listen(socket_, SOMAXCONN) != 0)) {
        // The lock file held by this copy settles it: a copy of this user with the same folder
        // would hold the file.
        if (!alreadyRunning_ && fd_ < 0 && errno == EADDRINUSE) {
            peer_ = FindPeer(address, length);
            alreadyRunning_ = peer_ == Peer::Ours;
        }
        close(socket_);
        socket_ = -1;
    }
}

void SingleInstance::AnswerWaiting() const {
    // Each copy that looked has left its connection in the queue; a full queue would keep the
    // next from an answer.
    for (int waiting;
         socket_ >= 0 && (waiting = accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        close(waiting);
    }
}

SingleInstance::~SingleInstance() {
    // The program holds them until it exits; closing here only matters in tests.
    if (fd_ >= 0) {
        close(fd_);
    }
    if (socket_ >= 0) {
        close(socket_);
    }
}

}  // namespace qe
