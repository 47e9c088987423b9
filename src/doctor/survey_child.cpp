#include "doctor/survey_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "doctor/child_report.h"
#include "doctor/report_sections.h"
#include "token/certificate_parts.h"
#include "token/pki.h"

namespace qe {
namespace {

// The channel to the parent: the standard output as started. From here on the standard output
// is the standard error, so whatever a library prints cannot garble the report.
int TakeChannel() {
    const int channel = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    // A crash leaves no core file of the customer's library behind, and a doctor that is killed
    // takes its children with it.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return channel;
}

int Send(const UniqueFd& channel, const ChildReport& report) {
    const std::string text = FormatChildReport(report);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(channel.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            return 1;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return 0;
}

SeenToken Seen(const zel_token& record) {
    return {record.modulePath, record.slotId,
            TrimmedField(record.serialNumber, sizeof record.serialNumber),
            TrimmedField(record.manufacturerID, sizeof record.manufacturerID),
            TrimmedField(record.model, sizeof record.model)};
}

}  // namespace

int RunSurveyChild(const std::string& name, const std::string& authorityIssuers) {
    const UniqueFd channel(TakeChannel());
    const ModuleSurvey survey = SurveyModule(name);
    std::vector<std::string> issuers;
    std::istringstream names(authorityIssuers);
    for (std::string issuer; std::getline(names, issuer, ',');) {
        issuers.push_back(issuer);
    }
    ReportWriter out;
    RenderModule(survey, issuers, out);
    ChildReport report;
    std::istringstream lines(out.text());
    for (std::string line; std::getline(lines, line);) {
        report.lines.push_back(line);
    }
    for (const SlotSurvey& slot : survey.slots) {
        if (slot.slotInfoRv == CKR_OK) {
            report.readers.push_back(
                TrimmedField(slot.slotInfo.slotDescription, sizeof slot.slotInfo.slotDescription));
        }
        if (!slot.token) {
            continue;
        }
        report.tokens.push_back(Seen(slot.token->record));
        // Numbered as the section numbers them.
        std::size_t number = 0;
        for (const TokenObject& object : slot.token->objects) {
            if (object.objectClass != CKO_CERTIFICATE) {
                continue;
            }
            ++number;
            if (CertificateParts parts; ParseCertificateParts(object.value, parts) == 0) {
                report.certificates.push_back({slot.id, number, parts.issuer});
            }
        }
    }
    return Send(channel, report);
}

int RunListingChild(const std::vector<std::string>& names) {
    const UniqueFd channel(TakeChannel());
    std::vector<zel_token> tokens;
    NoStep outside;
    CPKI(outside).ListTokens(names, tokens);
    ChildReport report;
    for (const zel_token& token : tokens) {
        report.tokens.push_back(Seen(token));
    }
    return Send(channel, report);
}

}  // namespace qe
