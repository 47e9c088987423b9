#pragma once

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "flows/flow_support.h"
#include "flows/window_port.h"
#include "flows/workers.h"
#include "messages/messages.h"
#include "messages/result_decision.h"
#include "net/envelope.h"
#include "net/https_client.h"
#include "sim/sim_process.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"
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
    void AskPinFor(CK_FLAGS tokenFlags) override {
        pinFlags.push_back(tokenFlags);
        AskPin();
    }
    void ClearPin() override {
        Record("clear-pin");
        pin_.Clear();
    }
    Secret AskNewPin(CK_ULONG minLength, CK_ULONG maxLength) override {
        Record("new-pin " + std::to_string(minLength) + " " + std::to_string(maxLength));
        return Secret(Take(newPinAnswers, std::string()));
    }
    void ReplacePin(Secret pin) override { pin_ = std::move(pin); }
    void ReaderLoginStarts(CK_FLAGS tokenFlags) override {
        readerFlags.push_back(tokenFlags);
        Record("reader");
    }
    void ReaderLoginEnds() override { Record("reader-end"); }

    int ShowResult(ErrorId id, int successText, unsigned boxFlags,
                   const StepTrace& trace) override {
        const ResultDecision decision =
            DecideResult(id, successText, boxFlags, trace.serverMessage, trace.tokenHash);
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

    std::deque<std::string> pinAnswers;     // an empty answer cancels the dialog
    std::deque<std::string> newPinAnswers;  // the new-PIN dialog's; empty cancels it
    std::vector<CK_FLAGS> pinFlags;         // what each dialog was asked with
    std::vector<CK_FLAGS> readerFlags;      // what each login on the reader's keypad warned with
    std::deque<int> resultAnswers;          // what shown boxes return (default: 1, OK)
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
        if (!answers.empty()) {
            fallback = answers.front();
            answers.pop_front();
        }
        return fallback;
    }

    std::vector<std::string> events_;
    int step_ = 0;
    Secret pin_;
    StatusOutcome status_;
};

// Points the wizard at a running simulator (hosts, trust).
inline void PointWizardAt(const SimProcess& sim) {
    setenv("QUORVANE_API_HOST", sim.api().c_str(), 1);
    setenv("QUORVANE_REKEY_HOST", sim.rekey().c_str(), 1);
    setenv("SSL_CERT_FILE", sim.caPath().c_str(), 1);
}

// A token that takes the PIN on its reader's keypad, as the fault module plays it.
inline const std::string kReaderToken = "flags-set 0x100\npinpad-login 1234\n";

// One customer's world per test: a private SoftHSM2 token provisioned by the simulator with a
// current certificate (subject, e-mail and UPN), a running simulator, the wizard pointed at it
// (hosts, trust, module list), and a scripted window. The wizard's log and preview files go to
// $TMPDIR, the test program's own folder (the log is opened once per process).
class FlowTest : public ::testing::Test {
protected:
    static constexpr const char* kPin = "1234";
    static constexpr const char* kLabel = "Ion Popescu";

    void SetUp() override {
        hsm_.InitToken(kLabel, kPin);
        hsm_.WriteModuleList({SoftHsmLibrary()});
        const CommandResult provisioned = ProvisionToken(
            dir_ / "sim", SoftHsmLibrary(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
            "ion.popescu@example.ro", "ion.popescu@firma.local", false, otherPrograms_);
        ASSERT_EQ(provisioned.status, 0) << provisioned.err;
        oldSerial_ = provisioned.out.substr(0, provisioned.out.find('\n'));
        sim_ = std::make_unique<SimProcess>(dir_ / "sim");
        PointWizardAt(*sim_);
        logSeen_ = LogText().size();
    }
    void TearDown() override {
        if (sim_) {
            sim_->Stop();
        }
    }

    // The control listener's order of the token (empty when there is none).
    QJsonObject Order() const {
        const std::string state = sim_->ControlState();
        return QJsonDocument::fromJson(QByteArray::fromStdString(state))["orders"][0].toObject();
    }
    void SetScenario(const std::string& json) const {
        if (sim_->SetScenario(json) != 200) {
            throw std::runtime_error("scenario refused: " + json);
        }
    }
    // Certificates on the token, in C_FindObjects order (DER each).
    std::vector<Bytes> TokenCertificates(const std::string& pin = kPin) const {
        SoftHsm::Session session(kLabel, pin);
        std::vector<Bytes> certificates;
        for (CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
            certificates.push_back(session.Attribute(object, CKA_VALUE));
        }
        return certificates;
    }
    // The wizard's temporary directory (log and previews), one for the test process.
    std::string TempDir() const { return std::getenv("TMPDIR"); }
    std::string LogText() const { return ReadFile(TempDir() + "/enrolllog.txt"); }
    // The wizard's log lines written since the last call, without their time stamps; with `tags`
    // ("[Init] "), only the lines written under exactly these tags.
    std::vector<std::string> NewLogLines(const std::string& tags = "") {
        const std::string text = LogText();
        std::vector<std::string> lines;
        for (std::string line : SplitLines(text.substr(std::min(logSeen_, text.size())))) {
            // "[dd/mm/yyyy hh:mm:ss]" first; the further lines of a message have none.
            if (line.size() > 21 && line[0] == '[' && line[20] == ']') {
                line.erase(0, 21);
            }
            if (line.rfind(tags, 0) == 0) {
                lines.push_back(line);
            }
        }
        logSeen_ = text.size();
        return lines;
    }
    void RunStatusCheck() {
        window_.mode = 0;
        StatusCheckThread(window_);
    }
    // A new run of the wizard's command of `mode`: 1, the request, after the status check that
    // finds the certificate to renew; 2, the download. `pin` is typed when asked (empty: the
    // dialog cancelled); the record, the log lines and the cached PIN start afresh.
    void RunFlow(int mode, const char* pin) {
        if (mode == 1) {
            RunStatusCheck();
        }
        window_.ClearPin();
        window_.Clear();
        window_.pinAnswers = {pin};
        window_.mode = mode;
        NewLogLines();
        (mode == 1 ? RegisterThread : DownloadThread)(window_);
    }

    bool otherPrograms_ = false;  // the token holds other programs' objects too
    ScopedDir dir_{"flow"};
    SoftHsm hsm_;
    std::unique_ptr<SimProcess> sim_;
    std::string oldSerial_;
    ScriptedWindow window_;

private:
    std::size_t logSeen_ = 0;
};

}  // namespace qe::test
