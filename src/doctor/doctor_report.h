#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "doctor/host_probe.h"
#include "doctor/report_text.h"
#include "doctor/token_survey.h"
#include "token/module_list.h"

namespace qe {

struct DoctorOptions {
    bool probeHosts = true;
    std::size_t logLines = 40;
};

// Everything the doctor found, gathered before any of it is written.
struct DoctorReport {
    std::string generated;  // local time of the run
    ModuleListOrigin moduleList;
    std::vector<ModuleSurvey> modules;
    bool hostsProbed = false;
    std::vector<HostProbe> hosts;
    std::string logPath;
    int logStatus = 0;  // 0 or the errno of reading the log
    std::string logTail;
};

// Runs every check: the module list, each library and its tokens, the servers (unless told not
// to; they are probed while the tokens are read) and the end of the diagnostic log.
DoctorReport CollectReport(const DoctorOptions& options);

// The report as plain text, in sections, the same layout on every run.
std::string RenderReport(const DoctorReport& report, const DoctorOptions& options);

// The sections of one library and its tokens; `rekey` is the rekey host's probe when there was
// one, for whether it accepts each certificate's issuer.
void RenderModule(const ModuleSurvey& module, std::size_t number, const HostProbe* rekey,
                  ReportWriter& out);

// The certificates and RSA keys a token shows, paired by modulus.
void RenderObjects(const TokenSurvey& token, const HostProbe* rekey, ReportWriter& out);

}  // namespace qe
