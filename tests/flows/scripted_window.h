#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "flows/window_port.h"

namespace qe::test {

// The window as the flows see it, scripted: every posted message and every dialog is recorded
// in order as a line ("busy", "next", "progress 20 95 600", "freeze", "result 13 126 0",
// "pin", ...), and the dialogs answer from queues. Results go through the same decision as the
// real window (identifier 13 forgets the cached PIN).
class ScriptedWindow : public WindowPort {
public:
    // Posting.
    void PostBusy() override { Record("busy"); }
    void PostDone() override { Record("done"); }
    void PostNextStep() override;
    void PostStartStatusCheck() override { Record("start-status-check"); }
    void PostQuit() override { Record("quit"); }
    void PressButton(MainButton button) override;
    void FreezeProgress() override;
    void ResetStepIndex() override;
    void PostProgress(int position, int target, int duration) override;

    // PIN.
    Secret CachedPin() override;
    void AskPin() override;
    void ClearPin() override;

    // Dialogs.
    int ShowResult(ErrorId id, int successText, unsigned boxFlags) override;
    std::optional<std::size_t> ChooseCertificate(
        const std::vector<TokenCertificate>& certificates) override;
    unsigned PreviewWidth() override { return previewWidth; }
    AcceptanceOutcome RunAcceptance(const Bytes& certificate, const std::string& pdfPath,
                                    const std::string& jpegPath) override;

    // State.
    StatusOutcome Status() override;
    void SetStatus(const StatusOutcome& status) override;
    std::optional<std::string> TakeLaunchLink() override;

    // Script and record.
    std::vector<std::string> Events() const;
    std::vector<std::string> EventsStartingWith(const std::string& prefix) const;
    // Step texts shown, by their string numbers, as the window would show them.
    std::vector<int> StepTexts() const;
    int LastProgress() const;
    void Clear();

    std::deque<std::string> pinAnswers;  // an empty answer cancels the dialog
    std::deque<int> resultAnswers;       // what message boxes return (default: 1, OK)
    std::deque<std::optional<std::size_t>> certificateChoices;  // default: cancel
    std::deque<AcceptanceOutcome> acceptances;                  // default: accept, remove old
    std::optional<std::string> launchLink;
    unsigned previewWidth = 600;
    int mode = 0;  // work mode of the step texts: 0 status, 1 request, 2 download
    std::function<void(int position)> onProgress;  // runs on the worker after each record

    // What the acceptance step was given, and whether its files existed then.
    struct AcceptanceSeen {
        Bytes certificate;
        std::string pdfPath;
        std::string jpegPath;
        std::string pdfHead;
        std::string jpegHead;
    };
    std::vector<AcceptanceSeen> acceptanceSeen;
    std::vector<ErrorId> results;
    std::vector<std::size_t> choicesOffered;

private:
    void Record(std::string event);

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<int> stepTexts_;
    int step_ = 0;
    int progress_ = -1;
    Secret pin_;
    StatusOutcome status_;
};

}  // namespace qe::test
