#include "doctor/doctor_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>

#include "doctor/log_tail.h"
#include "doctor/report_sections.h"
#include "doctor/survey_child.h"
#include "log/enroll_log.h"
#include "log/temp_dir.h"
#include "net/proxy_choice.h"
#include "reminder/certificate_memory.h"
#include "token/module_list.h"

namespace qe {
namespace {

// The report shows the end of the log; the bundle carries more of it.
constexpr std::size_t kLogTailBytes = 256 << 10;

std::string LocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64] = {};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
        return "unknown";
    }
    return text;
}

void RenderSettings(ReportWriter& out) {
    out.Section("Settings");
    const auto temp = PrivateTempDir();
    out.Field(0, "temporary directory", temp ? Printable(*temp) : "none usable");
    for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR"}) {
        const char* value = std::getenv(name);
        out.Field(0, name, value != nullptr ? Printable(value) : "not set");
    }
    std::vector<std::string> proxies;
    for (const char* name :
         {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            proxies.push_back(std::string(name) + "=" + Printable(ProxyForLog(value)));
        }
    }
    out.Field(0, "proxy", proxies.empty() ? "none" : Join(proxies));
}

void RenderModuleList(const ModuleListOrigin& list, ReportWriter& out) {
    out.Section("Module list");
    switch (list.source) {
        case ModuleListSource::User:
            out.Field(0, "source", "the user's list " + Printable(list.path));
            break;
        case ModuleListSource::MachineWide:
            out.Field(0, "source",
                      "the machine-wide list " + Printable(list.path) +
                          ", copied to the user's settings on the next run");
            break;
        case ModuleListSource::BuiltIn:
            out.Field(0, "source",
                      "built-in: the token libraries registered with p11-kit, then the makers' "
                      "libraries found in the library folders");
            break;
    }
    out.Field(
        0, "entries",
        list.names.empty() ? "none: the wizard finds no token" : std::to_string(list.names.size()));
    for (std::size_t i = 0; i < list.names.size(); ++i) {
        out.Line(1, std::to_string(i + 1) + ". " + Printable(list.names[i]));
    }
    RenderVendorLibraries(FindVendorLibraries(DefaultVendorLibraryLayout(),
                                              RegisteredP11KitModules(DefaultP11KitLayout())),
                          out);
}

void RenderLog(const std::string& path, int status, const std::string& tail,
               const DoctorOptions& options, ReportWriter& out) {
    out.Section("Diagnostic log");
    out.Field(0, "file", path.empty() ? "none: no private temporary directory" : Printable(path));
    if (path.empty()) {
        return;
    }
    if (status == ENOENT) {
        out.Field(0, "read", "no such file: the wizard has not written a log here");
        return;
    }
    if (status != 0) {
        out.Field(0, "read", std::strerror(status));
        return;
    }
    const std::vector<std::string> lines = LastLines(tail, options.logLines);
    out.Field(0, "last lines", std::to_string(lines.size()));
    for (const std::string& line : lines) {
        out.Line(1, Printable(line));
    }
}

// The library's section from its survey child; a child that crashed or hung leaves one line.
void RenderModuleOutcome(const ModuleOutcome& module, std::size_t number, const ChildRun& run,
                         std::chrono::seconds limit, ReportWriter& out) {
    out.Section("Module " + std::to_string(number) + ": " + Printable(module.name));
    if (!module.report.complete) {
        out.Field(0, "survey", ChildEndText(run, limit));
        return;
    }
    for (const std::string& line : module.report.lines) {
        out.Line(0, Printable(line));
    }
}

}  // namespace

std::string WriteReport(const DoctorOptions& options, std::ostream& stream,
                        ReportSources& sources) {
    // Read first: nothing the doctor does afterwards can have touched it.
    sources.logPath = DiagnosticLogPath();
    std::string logTail;
    const int logStatus =
        sources.logPath.empty() ? 0 : ReadFileTail(sources.logPath, kLogTailBytes, logTail);
    std::future<std::vector<HostProbe>> hosts;
    if (options.probeHosts) {
        hosts = std::async(std::launch::async, ProbeHosts);
    }
    ReportWriter out;
    const auto flush = [&out, &stream] { stream << out.TakeNew() << std::flush; };
    out.Line(0, std::string("Quorvane Enroll doctor ") + kProgramVersion);
    out.Field(0, "generated", LocalTime());
    RenderSettings(out);
    const ModuleListOrigin list = InspectModuleList();
    sources.moduleListPath = list.path;
    RenderModuleList(list, out);
    flush();

    // Whose certificates are shown in full: the issuers the wizard learned on this computer, else
    // those the rekey host names now.
    std::vector<std::string> issuers = LoadCertificateMemory(CertificateMemoryPath()).issuers;
    std::vector<HostProbe> probes;
    if (issuers.empty() && hosts.valid()) {
        probes = hosts.get();
    }
    for (const HostProbe& probe : probes) {
        for (std::size_t i = 0; probe.rekey && i < probe.caNames.size(); ++i) {
            issuers.push_back(ToHexLower(probe.caNames[i]));
        }
    }
    std::string joined;
    for (const std::string& issuer : issuers) {
        joined += (joined.empty() ? "" : ",") + issuer;
    }

    // Each library in a process of its own: one that crashes or hangs costs its own section.
    std::vector<ModuleOutcome> modules;
    for (const std::string& name : list.names) {
        const ChildRun run =
            RunChild({options.program, kSurveyArgument, name, joined}, options.timeout);
        modules.push_back({name, ParseChildReport(run.output)});
        RenderModuleOutcome(modules.back(), modules.size(), run, options.timeout, out);
        flush();
    }
    std::vector<std::string> listing{options.program, kListingArgument};
    listing.insert(listing.end(), list.names.begin(), list.names.end());
    const auto listingLimit = options.timeout * std::max<std::size_t>(1, list.names.size());
    const ChildRun listed = RunChild(listing, listingLimit);
    RenderTokenOverview(modules, listed, ParseChildReport(listed.output), listingLimit, out);
    flush();
    RenderCardService(ReadPcscView(), modules, out);
    flush();
    RenderLinkHandler(CheckLinkHandler(options.program), out);
    flush();

    if (hosts.valid()) {
        probes = hosts.get();
    }
    RenderServers(options.probeHosts ? &probes : nullptr, modules, out);
    flush();
    RenderLog(sources.logPath, logStatus, logTail, options, out);
    flush();
    return out.text();
}

}  // namespace qe
