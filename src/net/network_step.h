#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "net/proxy_login.h"

namespace qe {

// The customer's "stop waiting for the authority": the window sets it from its own thread while a
// step runs, and allows the waits again before the next one.
class NetworkCancel {
public:
    void Cancel() { cancelled_.store(true); }
    void Allow() { cancelled_.store(false); }
    bool Cancelled() const { return cancelled_.load(); }

private:
    std::atomic<bool> cancelled_{false};
};

// Bounds on the network itself, in seconds. Waiting for the user (the PIN) happens before the
// connection and counts against none of them.
struct RequestLimits {
    long connect = 20;  // TCP and TLS handshake: a host that answers does so well within
    long stall = 20;    // no byte moving
    long total = 600;   // one request, from start to end
};

// What the steps of one run of the program share on the network, owned by the window: the
// customer's cancel of the waits, the proxy logins typed, the limits every request starts with.
struct NetworkRun {
    NetworkCancel cancel;
    ProxyLogins proxyLogins;
    RequestLimits limits;
};

// What one step carries on the network: its deadline, if any, the run it belongs to, and the
// message of the authority's last refusal. The flow makes it and hands it to every client of the
// step; the transfers reach it through their own state, never a global. Requests outside a step
// (the reminder, the doctor) pass a NoNetworkStep.
class NetworkStep {
public:
    // A step of `run`, whose cancel ends its waits within a second; null: a step of no run,
    // which nothing cancels and which has no proxy logins to give.
    explicit NetworkStep(NetworkRun* run) : run_(run) {}
    NetworkStep(const NetworkStep&) = delete;
    NetworkStep& operator=(const NetworkStep&) = delete;

    // Whether the customer gave up waiting: the requests under way end within a second and later
    // ones fail at once, all with 1.
    bool Cancelled() const { return run_ != nullptr && run_->cancel.Cancelled(); }
    // What each request of the step starts with.
    RequestLimits Limits() const { return run_ != nullptr ? run_->limits : RequestLimits{}; }
    // The proxy logins of the run; null outside one.
    ProxyLogins* ProxyLoginsOfRun() const { return run_ != nullptr ? &run_->proxyLogins : nullptr; }

    // The body of the step's last answer whose status was not 200, shown for ERR_SERVER.
    const std::wstring& ServerMessage() const { return serverMessage_; }
    void SetServerMessage(std::wstring message) { serverMessage_ = std::move(message); }
    // Milliseconds left to the step's deadline (at least 1), or -1 when it has none.
    long RemainingMs() const;
    // Moves the deadline, if any, later by `waited`: time spent waiting for the customer.
    void Postpone(std::chrono::steady_clock::duration waited);

private:
    friend class NetworkDeadline;
    NetworkRun* run_;
    std::wstring serverMessage_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Requests made outside a step: no deadline but each request's own limits, nothing cancels, and
// a proxy that wants a password ends the request with ERR_PROXY_AUTH.
class NoNetworkStep final : public NetworkStep {
public:
    NoNetworkStep() : NetworkStep(nullptr) {}
};

// While it lives, the requests of `step` all end within `seconds` of its making: one bound for a
// part of a step with several requests to hosts that do not answer.
class NetworkDeadline {
public:
    NetworkDeadline(NetworkStep& step, long seconds);
    ~NetworkDeadline();
    NetworkDeadline(const NetworkDeadline&) = delete;
    NetworkDeadline& operator=(const NetworkDeadline&) = delete;

private:
    NetworkStep& step_;
    std::optional<std::chrono::steady_clock::time_point> previous_;
};

}  // namespace qe
