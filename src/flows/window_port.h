#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "net/network_step.h"
#include "request/progress_port.h"
#include "token/pin_port.h"
#include "token/token_certificate.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

enum class MainButton { Request = 1000, Download = 1001 };

// What the status check leaves for the window and for the next command.
struct StatusOutcome {
    std::wstring statusText;
    bool canGenerate = false;
    bool canDownload = false;
    std::vector<TokenCertificate> renewableStore;
    // Shown after the status text: none of the authority's certificates on the token is within
    // its dates (ERR_CERT_NOT_YET_VALID or ERR_CERT_EXPIRED; 0 when one is).
    ErrorId datesNote = ERR_SUCCESS;
    // The authority's clock less this computer's, by the status answer's Date header.
    std::optional<std::time_t> authorityClockOffset = std::nullopt;
    // The authority asked for the subject fields (its Ask4DN header): the register command
    // fetches them instead of taking the subject of the certificate renewed.
    bool askForDn = false;
    // DER names of the certification authorities whose client certificates the rekey host
    // accepts, in the server's order: asked once per run, by the first status check that can.
    std::vector<Bytes> acceptedIssuers = {};
};

// What a step leaves for its result box: the authority's message for ERR_SERVER and the hash of
// the token the step worked with (the restricted token's link), each empty when there is none.
struct StepTrace {
    std::wstring serverMessage;
    std::string tokenHash;
};

// How the customer left the acceptance dialog.
struct AcceptanceOutcome {
    int endCode = 1;  // 0 accepted; 1 rejected or closed; 33 the declaration cannot be shown
    bool removeOldCertificate = true;
};

// The one way flows and workers reach the main window. Posting returns at once; the calls that
// need the user (PIN, result box, certificate choice, acceptance) block the calling worker until
// the window's thread has an answer, never the window itself. The Qt main window implements it;
// tests implement it with a scripted fake.
class WindowPort : public PinPort, public ProgressPort {
public:
    // Worker start and end: the window disables itself while busy.
    virtual void PostBusy() = 0;
    virtual void PostDone() = 0;
    // Shows the next step text of the current work mode.
    virtual void PostNextStep() = 0;
    // Starts a new status check once the current worker has ended.
    virtual void PostStartStatusCheck() = 0;
    // Ends the program (a failed status check that is not retried).
    virtual void PostQuit() = 0;
    // Presses a command button as the launch link asks.
    virtual void PressButton(MainButton button) = 0;
    // Stops the progress bar where it stands.
    virtual void FreezeProgress() = 0;
    // The next step text shown is the first of the mode's table.
    virtual void ResetStepIndex() = 0;

    // Shows the outcome of a command (message box or alert) and returns the button pressed, or
    // 1 when nothing is shown. Identifier 13 forgets the cached PIN first.
    virtual int ShowResult(ErrorId id, int successText, unsigned boxFlags,
                           const StepTrace& trace) = 0;
    // Lets the user pick one of the certificates; none when cancelled.
    virtual std::optional<std::size_t> ChooseCertificate(
        const std::vector<TokenCertificate>& certificates) = 0;
    // The width in pixels at which the acceptance dialog shows the declaration.
    virtual unsigned PreviewWidth() = 0;
    // Shows the acceptance dialog with the downloaded certificate and previews and waits for the
    // customer's decision; a declaration that cannot be shown ends with 33 and no dialog.
    virtual AcceptanceOutcome RunAcceptance(const Bytes& certificate, const std::string& pdfPath,
                                            const std::string& jpegPath) = 0;

    // The window's status fields, written by the status check while the window is busy.
    virtual StatusOutcome Status() = 0;
    virtual void SetStatus(const StatusOutcome& status) = 0;
    // The launch link, handed over once and forgotten.
    virtual std::optional<std::string> TakeLaunchLink() = 0;

    // What the run's steps share on the network: the window cancels the waits through it and
    // answers its proxy logins.
    NetworkRun& Network() { return network_; }

private:
    NetworkRun network_;
};

}  // namespace qe
