#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "token/pin_port.h"

namespace qe::test {

// The window's PIN side as a test scripts it: a cached PIN and the answers the dialog gives, in
// order (an empty answer, or none left, is a cancelled dialog that keeps the cached PIN).
struct ScriptedPins : PinPort {
    Secret CachedPin() override { return cached.Clone(); }
    void AskPin() override {
        std::this_thread::sleep_for(typing);
        ++asked;
        if (!answers.empty()) {
            if (!answers.front().empty()) {
                cached = Secret(answers.front());
            }
            answers.pop_front();
        }
    }
    void AskPinFor(CK_FLAGS tokenFlags) override {
        flags = tokenFlags;
        AskPin();
    }
    void ClearPin() override {
        ++cleared;
        cached.Clear();
    }

    Secret cached;
    std::deque<std::string> answers;
    std::chrono::milliseconds typing{0};  // how long the customer takes
    int asked = 0;
    int cleared = 0;
    CK_FLAGS flags = 0;  // as the last dialog was asked with
};

}  // namespace qe::test
