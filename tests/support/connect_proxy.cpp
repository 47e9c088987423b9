#include "support/connect_proxy.h"

#include <cstdio>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qe::test {
namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// One client: reads the CONNECT head, answers, then copies bytes both ways until one side ends.
void Tunnel(int client, bool refuse) {
    std::string head;
    char c = 0;
    while (head.find("\r\n\r\n") == std::string::npos && read(client, &c, 1) == 1) {
        head += c;
    }
    unsigned port = 0;
    int target = -1;
    if (!refuse && std::sscanf(head.c_str(), "CONNECT %*[^:]:%u", &port) == 1) {
        target = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(static_cast<int>(port));
        if (connect(target, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(target);
            target = -1;
        }
    }
    const std::string reply = target >= 0 ? "HTTP/1.1 200 Connection established\r\n\r\n"
                                          : "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    bool open = write(client, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size());
    pollfd ends[] = {{client, POLLIN, 0}, {target, POLLIN, 0}};
    char buffer[16384];
    while (open && target >= 0 && poll(ends, 2, -1) > 0) {
        const int from = ends[0].revents != 0 ? 0 : 1;
        const ssize_t n = read(ends[from].fd, buffer, sizeof buffer);
        open = n > 0 && write(ends[1 - from].fd, buffer, static_cast<std::size_t>(n)) == n;
    }
    if (target >= 0) {
        close(target);
    }
    close(client);
}

}  // namespace

ConnectProxy::ConnectProxy(bool refuse) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<const sockaddr*>(&address), length);
    listen(listener_, 16);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, refuse] {
        for (int client; (client = accept(listener_, nullptr, nullptr)) >= 0;) {
            ++accepted_;
            std::thread(Tunnel, client, refuse).detach();
        }
    });
}

ConnectProxy::~ConnectProxy() {
    shutdown(listener_, SHUT_RDWR);  // ends the accept loop
    thread_.join();
    close(listener_);
}

}  // namespace qe::test
