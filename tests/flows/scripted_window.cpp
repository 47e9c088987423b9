#include "scripted_window.h"

#include <fstream>
#include <iterator>

#include "app/messages.h"
#include "app/result_decision.h"
#include "net/https_client.h"
#include "token/token_hash.h"

namespace qe::test {
namespace {

std::string Head(const std::string& path, std::size_t size) {
    if (path.empty()) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::string head(size, '\0');
    in.read(head.data(), static_cast<std::streamsize>(size));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

}  // namespace

void ScriptedWindow::Record(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

void ScriptedWindow::PostNextStep() {
    std::lock_guard lock(mutex_);
    events_.push_back("next");
    const auto numbers = StepTextNumbers(static_cast<WorkMode>(mode));
    stepTexts_.push_back(
        step_ < static_cast<int>(numbers.size()) ? numbers[static_cast<std::size_t>(step_)] : -1);
    ++step_;
}

void ScriptedWindow::PressButton(MainButton button) {
    Record("press " + std::to_string(static_cast<int>(button)));
}

void ScriptedWindow::FreezeProgress() {
    Record("freeze");
}

void ScriptedWindow::ResetStepIndex() {
    std::lock_guard lock(mutex_);
    events_.push_back("reset-step");
    step_ = 0;
}

void ScriptedWindow::PostProgress(int position, int target, int duration) {
    std::lock_guard lock(mutex_);
    std::string event = "progress " + std::to_string(position);
    if (duration > 0) {
        event += " " + std::to_string(target) + " " + std::to_string(duration);
    }
    events_.push_back(event);
    progress_ = position;
    if (onProgress) {
        onProgress(position);
    }
}

Secret ScriptedWindow::CachedPin() {
    std::lock_guard lock(mutex_);
    return pin_.Clone();
}

void ScriptedWindow::AskPin() {
    std::lock_guard lock(mutex_);
    events_.push_back("pin");
    if (!pinAnswers.empty()) {
        if (!pinAnswers.front().empty()) {
            pin_ = Secret(pinAnswers.front());
        }
        pinAnswers.pop_front();
    }
}

void ScriptedWindow::ClearPin() {
    std::lock_guard lock(mutex_);
    events_.push_back("clear-pin");
    pin_.Clear();
}

int ScriptedWindow::ShowResult(ErrorId id, int successText, unsigned boxFlags) {
    const ResultDecision decision =
        DecideResult(id, successText, boxFlags, ServerMessage(), CurrentTokenHash());
    if (decision.clearCachedPin) {
        ClearPin();
    }
    std::lock_guard lock(mutex_);
    events_.push_back("result " + std::to_string(id) + " " + std::to_string(successText) + " " +
                      std::to_string(boxFlags));
    results.push_back(id);
    if (decision.kind == ResultDecision::Kind::Nothing) {
        return kIdOk;
    }
    int answer = kIdOk;
    if (!resultAnswers.empty()) {
        answer = resultAnswers.front();
        resultAnswers.pop_front();
    }
    return answer;
}

std::optional<std::size_t> ScriptedWindow::ChooseCertificate(
    const std::vector<TokenCertificate>& certificates) {
    std::lock_guard lock(mutex_);
    events_.push_back("choose " + std::to_string(certificates.size()));
    choicesOffered.push_back(certificates.size());
    if (certificateChoices.empty()) {
        return std::nullopt;
    }
    const auto choice = certificateChoices.front();
    certificateChoices.pop_front();
    return choice;
}

AcceptanceOutcome ScriptedWindow::RunAcceptance(const Bytes& certificate,
                                                const std::string& pdfPath,
                                                const std::string& jpegPath) {
    std::lock_guard lock(mutex_);
    events_.push_back("acceptance");
    acceptanceSeen.push_back({certificate, pdfPath, jpegPath, Head(pdfPath, 8), Head(jpegPath, 3)});
    if (acceptances.empty()) {
        return {0, true};
    }
    const AcceptanceOutcome outcome = acceptances.front();
    acceptances.pop_front();
    return outcome;
}

StatusOutcome ScriptedWindow::Status() {
    std::lock_guard lock(mutex_);
    return status_;
}

void ScriptedWindow::SetStatus(const StatusOutcome& status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

std::optional<std::string> ScriptedWindow::TakeLaunchLink() {
    std::lock_guard lock(mutex_);
    auto link = launchLink;
    launchLink.reset();
    return link;
}

std::vector<std::string> ScriptedWindow::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> ScriptedWindow::EventsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : Events()) {
        if (e.rfind(prefix, 0) == 0) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<int> ScriptedWindow::StepTexts() const {
    std::lock_guard lock(mutex_);
    return stepTexts_;
}

int ScriptedWindow::LastProgress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

void ScriptedWindow::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    stepTexts_.clear();
    results.clear();
    acceptanceSeen.clear();
}

}  // namespace qe::test
