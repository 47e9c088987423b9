#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "token/pin_port.h"

namespace qe::test {

// The window's PIN side for tests: a cached PIN and the answers the PIN dialog will give, in
// order (an empty answer is a cancelled dialog).
class ScriptedPins : public PinPort {
public:
    Secret CachedPin() override { return cached_.Clone(); }
    void AskPin() override {
        std::this_thread::sleep_for(typing);
        ++asked;
        if (!answers.empty()) {
            if (!answers.front().empty()) {
                cached_ = Secret(answers.front());
            }
            answers.pop_front();
        }
    }
    void ClearPin() override {
        ++cleared;
        cached_.Clear();
    }

    std::deque<std::string> answers;
    std::chrono::milliseconds typing{0};  // how long the customer takes
    int asked = 0;
    int cleared = 0;

private:
    Secret cached_;
};

}  // namespace qe::test
