#include "doctor/doctor_report.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <map>

#include <netdb.h>

#include "doctor/log_tail.h"
#include "flows/flow_support.h"
#include "log/enroll_log.h"
#include "log/temp_dir.h"

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

// A proxy address with any user name and password left out: all of the authority up to its last
// '@', since a password may hold one itself.
std::string WithoutCredentials(std::string value) {
    const std::size_t scheme = value.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t at = value.substr(start, value.find('/', start) - start).rfind('@');
    if (at != std::string::npos) {
        value.replace(start, at, "***");
    }
    return value;
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
            proxies.push_back(std::string(name) + "=" + Printable(WithoutCredentials(value)));
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
            out.Field(0, "source", "built-in: the token libraries registered with p11-kit");
            break;
    }
    out.Field(
        0, "entries",
        list.names.empty() ? "none: the wizard finds no token" : std::to_string(list.names.size()));
    for (std::size_t i = 0; i < list.names.size(); ++i) {
        out.Line(1, std::to_string(i + 1) + ". " + Printable(list.names[i]));
    }
}

// Tokens by serial number across the libraries, and what the wizard's listing would make of
// them: a reader already listed by an earlier library adds nothing, and a token that is not
// initialised or is write-protected cannot take the read-write session the listing opens.
void RenderTokenOverview(const std::vector<ModuleSurvey>& modules, ReportWriter& out) {
    out.Section("Tokens");
    std::map<std::string, std::vector<std::string>> bySerial;
    std::vector<const zel_token*> listed;
    for (const ModuleSurvey& module : modules) {
        for (const SlotSurvey& slot : module.slots) {
            if (!slot.token) {
                continue;
            }
            const zel_token& record = slot.token->record;
            const std::string serial = FieldText(record.serialNumber, sizeof record.serialNumber);
            bySerial[serial].push_back(Printable(module.name) + " (slot id " + HexNumber(slot.id) +
                                       ")");
            const bool usable = (slot.token->flags & CKF_TOKEN_INITIALIZED) != 0 &&
                                (slot.token->flags & CKF_WRITE_PROTECTED) == 0;
            bool sameReader = false;
            for (const zel_token* other : listed) {
                sameReader =
                    sameReader || std::memcmp(other->slotDescription, record.slotDescription,
                                              sizeof record.slotDescription) == 0;
            }
            if (usable && !sameReader) {
                listed.push_back(&record);
            }
        }
    }
    bool shared = false;
    for (const auto& [serial, places] : bySerial) {
        if (places.size() > 1) {
            shared = true;
            out.Line(0, "token " + serial + " is seen through " + std::to_string(places.size()) +
                            " libraries:");
            for (const std::string& place : places) {
                out.Line(1, place);
            }
        }
    }
    if (!shared) {
        out.Line(0, "no token is seen through more than one library");
    }
    if (listed.empty()) {
        out.Field(0, "the wizard would find", "no token (it stops with \"no token\")");
    } else if (listed.size() > 1) {
        out.Field(0, "the wizard would find",
                  std::to_string(listed.size()) + " tokens (it stops with \"several tokens\")");
    } else {
        const zel_token& record = *listed.front();
        out.Field(0, "the wizard would find",
                  "token " + FieldText(record.serialNumber, sizeof record.serialNumber) +
                      " through " + Printable(record.modulePath));
    }
}

void RenderHost(const HostProbe& probe, ReportWriter& out) {
    std::string where = Printable(probe.endpoint.host) + ":" + std::to_string(probe.endpoint.port);
    where += probe.overrideUsed ? " (from " + probe.variable + ")" : " (built-in)";
    out.Field(0, probe.role, where);
    if (probe.overrideValue && !probe.overrideUsed) {
        out.Field(1, probe.variable,
                  "\"" + Printable(*probe.overrideValue) + "\" is not host[:port], not used");
    }
    if (probe.dnsStatus == kDnsTimedOut) {
        out.Field(1, "DNS", "no answer within " + std::to_string(kDnsTimeout.count()) + " s");
    } else if (probe.dnsStatus != 0) {
        out.Field(1, "DNS", std::string("failed: ") + gai_strerror(probe.dnsStatus));
    } else {
        out.Field(1, "DNS", Join(probe.addresses));
    }
    if (!probe.tlsTried) {
        out.Field(1, "TLS", "not tried");
    } else if (probe.tlsResult == ERR_SUCCESS) {
        out.Field(1, "TLS",
                  "handshake completed (" + probe.tlsVersion + "), server certificate verified");
    } else if (probe.tlsResult == ERR_BAD_CERT_OR_PASSWORD) {
        out.Field(1, "TLS",
                  "server certificate verified; the server asks for a client certificate");
    } else {
        out.Field(1, "TLS", "failed: " + Printable(probe.failure.text));
    }
    if (probe.rekey && probe.tlsResult == ERR_BAD_CERT_OR_PASSWORD) {
        out.Field(1, "CA names it asks for", std::to_string(probe.caNames.size()));
        for (const Bytes& name : probe.caNames) {
            out.Line(2, Printable(NameText(name)));
        }
    }
}

void RenderLog(const DoctorReport& report, const DoctorOptions& options, ReportWriter& out) {
    out.Section("Diagnostic log");
    out.Field(0, "file",
              report.logPath.empty() ? "none: no private temporary directory"
                                     : Printable(report.logPath));
    if (report.logPath.empty()) {
        return;
    }
    if (report.logStatus == ENOENT) {
        out.Field(0, "read", "no such file: the wizard has not written a log here");
        return;
    }
    if (report.logStatus != 0) {
        out.Field(0, "read", std::strerror(report.logStatus));
        return;
    }
    const std::vector<std::string> lines = LastLines(report.logTail, options.logLines);
    out.Field(0, "last lines", std::to_string(lines.size()));
    for (const std::string& line : lines) {
        out.Line(1, Printable(line));
    }
}

}  // namespace

DoctorReport CollectReport(const DoctorOptions& options) {
    DoctorReport report;
    report.generated = LocalTime();
    // Read first: nothing the doctor does afterwards can have touched it.
    report.logPath = DiagnosticLogPath();
    if (!report.logPath.empty()) {
        report.logStatus = ReadFileTail(report.logPath, kLogTailBytes, report.logTail);
    }
    std::future<std::vector<HostProbe>> hosts;
    if (options.probeHosts) {
        hosts = std::async(std::launch::async, ProbeHosts);
    }
    report.moduleList = InspectModuleList();
    for (const std::string& name : report.moduleList.names) {
        report.modules.push_back(SurveyModule(name));
    }
    if (hosts.valid()) {
        report.hosts = hosts.get();
        report.hostsProbed = true;
    }
    return report;
}

std::string RenderReport(const DoctorReport& report, const DoctorOptions& options) {
    ReportWriter out;
    out.Line(0, std::string("Quorvane Enroll doctor ") + kProgramVersion);
    out.Field(0, "generated", report.generated);
    RenderSettings(out);
    RenderModuleList(report.moduleList, out);
    const HostProbe* rekey = nullptr;
    for (const HostProbe& probe : report.hosts) {
        rekey = probe.rekey ? &probe : rekey;
    }
    for (std::size_t i = 0; i < report.modules.size(); ++i) {
        RenderModule(report.modules[i], i + 1, rekey, out);
    }
    RenderTokenOverview(report.modules, out);
    out.Section("Servers");
    if (!report.hostsProbed) {
        out.Line(0, "not checked (--offline)");
    }
    for (const HostProbe& probe : report.hosts) {
        RenderHost(probe, out);
    }
    RenderLog(report, options, out);
    return out.text();
}

}  // namespace qe
