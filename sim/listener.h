#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>

namespace qe::sim {

// One server on its own thread. Stop (or destruction) ends it and waits for its handlers.
class Listener {
public:
    explicit Listener(std::unique_ptr<httplib::Server> server) : server_(std::move(server)) {}
    ~Listener() { Stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds `host`:`port` (0: any free port) and serves from then on. Returns false, with
    // `error` set, when binding fails or the server does not come up.
    bool Start(const std::string& host, int port, std::string& error);
    int port() const { return port_; }
    httplib::Server& server() { return *server_; }
    void Stop();

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> finished_{false};
};

}  // namespace qe::sim
