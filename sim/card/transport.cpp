#include "sim/card/transport.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qe::sim::card {

VpcdLink::~VpcdLink() {
    Close();
}

void VpcdLink::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool VpcdLink::Connect(const std::string& host, int port, int wait_ms, std::string& error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            break;
        }
        error = "cannot connect to the reader at " + host + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        Close();
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Without these, every answer waits for the peer's delayed acknowledgement (40 ms).
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    return true;
}

bool VpcdLink::ReadExactly(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        // The reader writes a message's length and its bytes separately: acknowledge at once,
        // or its second write waits for our delayed acknowledgement.
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t got = recv(fd_, p, n, 0);
        if (got <= 0) {
            return false;  // closed, failed, or interrupted by a signal
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<Bytes> VpcdLink::Receive() {
    std::uint8_t head[2];
    if (fd_ < 0 || !ReadExactly(head, 2)) {
        return std::nullopt;
    }
    Bytes payload((std::size_t{head[0]} << 8) | head[1]);
    if (!ReadExactly(payload.data(), payload.size())) {
        return std::nullopt;
    }
    return payload;
}

bool VpcdLink::Send(const Bytes& payload) {
    Bytes message = {static_cast<std::uint8_t>(payload.size() >> 8),
                     static_cast<std::uint8_t>(payload.size())};
    message.insert(message.end(), payload.begin(), payload.end());
    const std::uint8_t* p = message.data();
    std::size_t n = message.size();
    while (n > 0) {
        const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace qe::sim::card
