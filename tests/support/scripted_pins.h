#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "net/proxy_login.h"
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

// The proxy's dialog as a test scripts it: "user:password" answers in order ("" or none left
// cancels); each question is recorded as the proxy's address, with " again" after a refusal.
struct ScriptedProxyLogins : ProxyLoginPort {
    bool AskProxyLogin(const std::string& proxy, bool refused, bool clear,
                       ProxyLogin& login) override {
        inClear += clear ? 1 : 0;
        std::this_thread::sleep_for(typing);
        asked.push_back(proxy + (refused ? " again" : ""));
        const std::string answer = answers.empty() ? "" : answers.front();
        answers.erase(answers.begin(), answers.begin() + (answers.empty() ? 0 : 1));
        login.user = answer.substr(0, answer.find(':'));
        login.password = Secret(answer.substr(answer.find(':') + 1));
        return !answer.empty();
    }
    std::deque<std::string> answers;
    std::vector<std::string> asked;
    int inClear = 0;  // questions that said the password goes unencrypted
    std::chrono::milliseconds typing{0};
};

}  // namespace qe::test
