#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace qe {

// Watches, on a thread of its own, for the libraries `modules` to list a token when they listed
// none: a token inserted, or let go by the program that held it. Libraries that report slot
// events are asked each second, without blocking, whether one happened, and listed only then;
// the others are listed afresh each second. Calls `arrived` once, from the watching thread.
// Stops, and waits for a listing under way, when destroyed; no token work of the caller's may run
// meanwhile (the listing shares the libraries).
class TokenArrivalWatch {
public:
    TokenArrivalWatch(std::vector<std::string> modules, std::function<void()> arrived);
    ~TokenArrivalWatch();
    TokenArrivalWatch(const TokenArrivalWatch&) = delete;
    TokenArrivalWatch& operator=(const TokenArrivalWatch&) = delete;

private:
    void Watch(const std::stop_token& stop);

    std::vector<std::string> modules_;
    std::function<void()> arrived_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;  // last: started once the rest is in place
};

}  // namespace qe
