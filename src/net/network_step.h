#pragma once

#include <atomic>
#include <chrono>
#include <optional>

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

// What one step carries on the network: its deadline, if any, and the customer's cancel. The flow
// makes it and hands it to every client of the step; the transfers reach it through their own
// state, never a global. Requests outside a step (the reminder, the doctor) pass a NoNetworkStep.
class NetworkStep {
public:
    // A step whose waits end, within a second, when `cancel` is set; null: nothing cancels.
    explicit NetworkStep(const NetworkCancel* cancel) : cancel_(cancel) {}
    NetworkStep(const NetworkStep&) = delete;
    NetworkStep& operator=(const NetworkStep&) = delete;

    // Whether the customer gave up waiting: the requests under way end within a second and later
    // ones fail at once, all with 1.
    bool Cancelled() const { return cancel_ != nullptr && cancel_->Cancelled(); }
    // Milliseconds left to the step's deadline (at least 1), or -1 when it has none.
    long RemainingMs() const;
    // Moves the deadline, if any, later by `waited`: time spent waiting for the customer.
    void Postpone(std::chrono::steady_clock::duration waited);

private:
    friend class NetworkDeadline;
    const NetworkCancel* cancel_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Requests made outside a step: no deadline but each request's own limits, and nothing cancels.
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
