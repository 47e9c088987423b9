#include <netdb.h>

#include <algorithm>
#include <string>

#include "doctor/report_sections.h"
#include "flows/flow_support.h"

namespace qe {
namespace {

std::string IssuerAcceptedText(const Bytes& issuer, const HostProbe& rekey) {
    if (rekey.tlsResult != ERR_BAD_CERT_OR_PASSWORD) {
        return "unknown: the rekey host did not ask for a certificate";
    }
    const bool listed =
        std::find(rekey.caNames.begin(), rekey.caNames.end(), issuer) != rekey.caNames.end();
    return listed ? "yes" : "no: the wizard will not offer this certificate";
}

// Whether the rekey host takes each certificate the libraries showed, by its place in the report.
void RenderAccepted(const HostProbe& rekey, const std::vector<ModuleOutcome>& modules,
                    ReportWriter& out) {
    std::vector<std::pair<std::string, const Bytes*>> certificates;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        for (const SeenCertificate& certificate : modules[i].report.certificates) {
            certificates.emplace_back("Module " + std::to_string(i + 1) + ", slot id " +
                                          HexNumber(certificate.slotId) + ", certificate " +
                                          std::to_string(certificate.number),
                                      &certificate.issuer);
        }
    }
    if (certificates.empty()) {
        return;
    }
    out.Line(1, "issuer of each certificate on the tokens accepted:");
    for (const auto& [place, issuer] : certificates) {
        out.Field(2, place, IssuerAcceptedText(*issuer, rekey));
    }
}

void RenderHost(const HostProbe& probe, const std::vector<ModuleOutcome>& modules,
                ReportWriter& out) {
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
    if (!probe.proxy.empty()) {
        out.Field(1, "proxy", Printable(probe.proxy));
    }
    if (probe.proxyStatus == 200) {
        out.Field(1, "proxy CONNECT", "200, tunnel opened");
    } else if (probe.proxyStatus == 407 || probe.proxyStatus == 401) {
        out.Field(1, "proxy CONNECT",
                  std::to_string(probe.proxyStatus) + ": the proxy asks for a user name and " +
                      "password (" + probe.proxySchemes + "); the wizard asks the customer");
    } else if (probe.proxyStatus != 0) {
        out.Field(1, "proxy CONNECT",
                  std::to_string(probe.proxyStatus) + ": the proxy refuses the tunnel");
    }
    if (!probe.tlsTried) {
        out.Field(1, "TLS", "not tried");
    } else if (probe.tlsResult == ERR_PROXY_AUTH) {
        out.Field(1, "TLS", "not made: the proxy wants a user name and password first");
    } else if (probe.tlsResult == ERR_TLS_INSPECTED) {
        out.Field(1, "TLS",
                  "failed: " + Printable(probe.failure.text) +
                      "; another certificate answered, or the handshake breaks only through the "
                      "proxy: the network inspects TLS, and this host must be exempted from "
                      "inspection");
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
    if (probe.rekey) {
        RenderAccepted(probe, modules, out);
    }
}

}  // namespace

void RenderServers(const std::vector<HostProbe>* hosts, const std::vector<ModuleOutcome>& modules,
                   ReportWriter& out) {
    out.Section("Servers");
    if (hosts == nullptr) {
        out.Line(0, "not checked (--offline)");
        return;
    }
    for (const HostProbe& probe : *hosts) {
        RenderHost(probe, modules, out);
    }
}

}  // namespace qe
