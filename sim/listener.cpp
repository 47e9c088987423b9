#include "sim/listener.h"

#include <chrono>

namespace qe::sim {

bool Listener::Start(const std::string& host, int port, std::string& error) {
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
    } else {
        port_ = server_->bind_to_port(host, port) ? port : -1;
    }
    if (port_ <= 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        port_ = 0;
        return false;
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        finished_ = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_->is_running() && !finished_) {
        if (std::chrono::steady_clock::now() > deadline) {
            error = "the server on " + host + ":" + std::to_string(port_) + " did not start";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (finished_) {
        error = "the server on " + host + ":" + std::to_string(port_) + " stopped at once";
        return false;
    }
    return true;
}

void Listener::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    // stop() is lost when it comes before the accept loop runs; repeat it until the loop ends.
    while (!finished_) {
        server_->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    thread_.join();
}

}  // namespace qe::sim
