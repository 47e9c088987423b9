#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/messages.h"
#include "app/result_decision.h"
#include "flows/window_port.h"
#include "net/https_client.h"
#include "token/token_hash.h"

namespace qe::test {

// The window as the flows see it, scripted: what it is asked to do is recorded in order, one line
// each ("busy", "step 130", "progress 20 95 600", "freeze", "pin", "result 13", ...), and the
// dialogs answer from queues. Results go through the decision of the real window, so `shown`
// holds what the customer would see (and identifier 13 forgets the cached PIN).
class ScriptedWindow : public WindowPort {
public:
    void PostBusy() override { Record("busy"); }
    void PostDone() override { Record("done"); }
    // The string number of the mode's next step text; -1 past the end of its table.
    void PostNextStep() override {
        const auto numbers = StepTextNumbers(static_cast<WorkMode>(mode));
        const auto step = static_cast<std::size_t>(step_++);
        Record("step " + std::to_string(step < numbers.size() ? numbers[step] : -1));
    }
    void PostStartStatusCheck() override { Record("start-status-check"); }
    void PostQuit() override { Record("quit"); }
    void PressButton(MainButton button) override {
        Record("press " + std::to_string(static_cast<int>(button)));
    }
    void FreezeProgress() override { Record("freeze"); }
    void ResetStepIndex() override { step_ = 0; }
    void PostProgress(int position, int target, int duration) override {
        Record("progress " + std::to_string(position) +
               (duration > 0 ? " " + std::to_string(target) + " " + std::to_string(duration) : ""));
        if (onProgress) {
            onProgress(position);
        }
    }

    Secret CachedPin() override { return pin_.Clone(); }
    void AskPin() override {
        Record("pin");
        if (const std::string answer = Take(pinAnswers, std::string()); !answer.empty()) {
            pin_ = Secret(answer);
        }
    }
    void ClearPin() override {
        Record("clear-pin");
        pin_.Clear();
    }

    int ShowResult(ErrorId id, int successText, unsigned boxFlags) override {
        const ResultDecision decision =
            DecideResult(id, successText, boxFlags, ServerMessage(), CurrentTokenHash());
        if (decision.clearCachedPin) {
            ClearPin();
        }
        Record("result " + std::to_string(id));
        results.push_back(id);
        shown.push_back(decision);
        return decision.kind == ResultDecision::Kind::Nothing ? kIdOk : Take(resultAnswers, kIdOk);
    }
    std::optional<std::size_t> ChooseCertificate(
        const std::vector<TokenCertificate>& certificates) override {
        Record("choose " + std::to_string(certificates.size()));
        return Take(certificateChoices, std::optional<std::size_t>());
    }
    unsigned PreviewWidth() override { return 600; }
    AcceptanceOutcome RunAcceptance(const Bytes& certificate, const std::string& pdfPath,
                                    const std::string& jpegPath) override {
        Record("acceptance");
        return acceptance ? acceptance(certificate, pdfPath, jpegPath) : AcceptanceOutcome{0, true};
    }

    StatusOutcome Status() override { return status_; }
    void SetStatus(const StatusOutcome& status) override { status_ = status; }
    std::optional<std::string> TakeLaunchLink() override {
        return std::exchange(launchLink, std::nullopt);
    }

    // The recorded lines that start with `prefix`, in order.
    std::vector<std::string> Events(const std::string& prefix = "") const {
        std::vector<std::string> out;
        for (const std::string& event : events_) {
            if (event.rfind(prefix, 0) == 0) {
                out.push_back(event);
            }
        }
        return out;
    }
    // Forgets the record and the results (not the PIN, the status or the step index).
    void Clear() {
        events_.clear();
        results.clear();
        shown.clear();
    }

    std::deque<std::string> pinAnswers;  // an empty answer cancels the dialog
    std::deque<int> resultAnswers;       // what shown boxes return (default: 1, OK)
    std::deque<std::optional<std::size_t>> certificateChoices;  // default: cancel
    // The acceptance dialog; by default the customer accepts and leaves the removal option on.
    std::function<AcceptanceOutcome(const Bytes&, const std::string&, const std::string&)>
        acceptance;
    std::function<void(int position)> onProgress;  // runs after each progress record
    std::optional<std::string> launchLink;
    int mode = 0;  // work mode of the step texts: 0 status, 1 request, 2 download

    std::vector<ErrorId> results;       // every result, in order
    std::vector<ResultDecision> shown;  // what the customer saw for each of them

private:
    void Record(std::string event) { events_.push_back(std::move(event)); }
    template <typename T>
    static T Take(std::deque<T>& answers, T fallback) {
        if (answers.empty()) {
            return fallback;
        }
        T answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> events_;
    int step_ = 0;
    Secret pin_;
    StatusOutcome status_;
};

}  // namespace qe::test
