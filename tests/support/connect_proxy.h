#pragma once

#include <atomic>
#include <thread>

namespace qe::test {

// A company proxy for tests: an HTTP CONNECT proxy on 127.0.0.1 with an ephemeral port that
// tunnels to the requested port on 127.0.0.1, or refuses every CONNECT with 403.
class ConnectProxy {
public:
    explicit ConnectProxy(bool refuse = false);
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    int port() const { return port_; }
    // Connections the proxy has accepted so far.
    int accepted() const { return accepted_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace qe::test
