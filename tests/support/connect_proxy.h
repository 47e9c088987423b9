#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_dir.h"

namespace qe::test {

// A company proxy for tests: tinyproxy on 127.0.0.1, tunnelling CONNECT to any port, or
// refusing CONNECT to every port but 1 with 403; with `login` ("user password") it asks for it
// with Basic authentication.
class ConnectProxy {
public:
    explicit ConnectProxy(bool refuse = false, const std::string& login = {});

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The CONNECT requests it has read, once at least `atLeast` are logged or a few seconds passed.
    int Requests(int atLeast) const;

private:
    ScopedDir dir_{"proxy"};
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// A peer of the tests' own in Python (`args` after "python3 -u") that prints the port it listens
// on, as the first number after `before` on its first line.
class PythonPeer {
public:
    explicit PythonPeer(const std::vector<std::string>& args, const std::string& before = "");

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace qe::test
