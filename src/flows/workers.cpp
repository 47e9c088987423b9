#include "flows/workers.h"

#include "flows/download.h"
#include "flows/flow_support.h"
#include "flows/request_generation.h"
#include "flows/sign_and_install.h"
#include "flows/status_check.h"
#include "flows/step_context.h"

namespace qe {
namespace {

constexpr unsigned kBoxOk = 0;
constexpr unsigned kBoxRetryCancel = 5;
constexpr int kIdRetry = 4;
constexpr int kRegisterSuccessText = 108;
constexpr int kDownloadSuccessText = 126;

}  // namespace

void StatusCheckThread(WindowPort& port) {
    ErrorId id = ERR_SUCCESS;
    int answer = 0;
    StatusOutcome outcome;
    do {
        port.PostBusy();
        outcome = port.Status();
        StepTrace trace;
        {
            StepContext step(port);
            id = StatusCheck(step, port, outcome);
            trace = step.Trace();
        }
        id = ExplainTokenFailure(id);
        port.SetStatus(outcome);
        answer = port.ShowResult(id, 0, kBoxRetryCancel, trace);
        port.PostDone();
    } while (id != ERR_SUCCESS && answer == kIdRetry);
    if (id != ERR_SUCCESS) {
        port.PostQuit();
        return;
    }
    RouteLaunchLink(port, outcome);
}

void RegisterThread(WindowPort& port) {
    port.PostBusy();
    ErrorId id = ERR_SUCCESS;
    StepTrace trace;
    {
        StepContext step(port);
        id = RequestGeneration(step, port, port.Status().renewableStore);
        trace = step.Trace();
    }
    id = ExplainTokenFailure(id);
    port.ShowResult(id, kRegisterSuccessText, kBoxOk, trace);
    port.PostDone();
    port.PostStartStatusCheck();
}

void DownloadThread(WindowPort& port) {
    port.PostBusy();
    ErrorId id = ERR_SUCCESS;
    StepTrace trace;
    {
        // The customer reads the declaration within the step: one login serves it all.
        StepContext step(port);
        DownloadedDeclaration declaration;
        id = DownloadForAcceptance(step, port, declaration, port.PreviewWidth());
        if (id == ERR_SUCCESS) {
            const AcceptanceOutcome acceptance = port.RunAcceptance(
                declaration.certificate, declaration.pdfPath, declaration.jpegPath);
            declaration.RemoveFiles();
            id = acceptance.endCode == 0 ? SignAndInstall(step, port, declaration.certificate,
                                                          acceptance.removeOldCertificate)
                                         : acceptance.endCode;
        }
        trace = step.Trace();
    }
    id = ExplainTokenFailure(id);
    port.ShowResult(id, kDownloadSuccessText, kBoxOk, trace);
    port.PostDone();
    port.PostStartStatusCheck();
}

}  // namespace qe
