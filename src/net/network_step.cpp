#include "net/network_step.h"

#include <algorithm>

namespace qe {

long NetworkStep::RemainingMs() const {
    if (!deadline_) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *deadline_ - std::chrono::steady_clock::now());
    return std::max(1L, static_cast<long>(left.count()));
}

void NetworkStep::Postpone(std::chrono::steady_clock::duration waited) {
    if (deadline_) {
        *deadline_ += waited;
    }
}

NetworkDeadline::NetworkDeadline(NetworkStep& step, long seconds)
    : step_(step), previous_(step.deadline_) {
    step.deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

NetworkDeadline::~NetworkDeadline() {
    step_.deadline_ = previous_;
}

}  // namespace qe
