#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "doctor/child_process.h"
#include "doctor/child_report.h"
#include "doctor/host_probe.h"
#include "doctor/link_handler.h"
#include "doctor/report_text.h"
#include "doctor/token_survey.h"
#include "token/module_list.h"
#include "token/pcsc_readers.h"

namespace qe {

// The section of one library below its title, with its tokens; written by its survey child.
// Certificates are shown in full only when one of `authorityIssuers` (hex DER names) issued them.
void RenderModule(const ModuleSurvey& module, const std::vector<std::string>& authorityIssuers,
                  ReportWriter& out);

// The certificates and RSA keys a token shows, paired by modulus: the authority's certificates
// in full, the others (other applications' business) by count only.
void RenderObjects(const TokenSurvey& token, const std::vector<std::string>& authorityIssuers,
                   ReportWriter& out);

// How a child ended without its report: "crashed (signal 11, SIGSEGV)", "did not answer in 30 s".
std::string ChildEndText(const ChildRun& run, std::chrono::seconds limit);

// One library of the module list as its survey child reported it.
struct ModuleOutcome {
    std::string name;
    ChildReport report;
};

// The tokens across the libraries (one seen through several library files) and the token the
// wizard's own listing (`listing`, from a child given `limit`) would pick.
void RenderTokenOverview(const std::vector<ModuleOutcome>& modules, const ChildRun& listingRun,
                         const ChildReport& listing, std::chrono::seconds limit, ReportWriter& out);

// The servers as probed (null: not probed), with whether the rekey host accepts the issuer of
// each certificate the libraries showed.
void RenderServers(const std::vector<HostProbe>* hosts, const std::vector<ModuleOutcome>& modules,
                   ReportWriter& out);

// The card service: whether it answers, each reader with its card (present, absent, held by
// another program) and ATR, and which libraries of the module list show a token in that reader.
void RenderCardService(const PcscView& view, const std::vector<ModuleOutcome>& modules,
                       ReportWriter& out);

// The makers' libraries found in the library folders, where, and whether p11-kit names them.
void RenderVendorLibraries(const std::vector<VendorLibrary>& libraries, ReportWriter& out);

// Which desktop file opens quorvaneenroll:// links and whether it starts this installation's
// wizard, the desktop database, the default browser; a fix for each problem found.
void RenderLinkHandler(const LinkHandlerCheck& check, ReportWriter& out);

}  // namespace qe
