#pragma once

#include <string>
#include <vector>

namespace qe {

// Which way a request to `url` goes out, and who decided it.
struct ProxyChoice {
    enum class Source {
        Environment,  // https_proxy or HTTPS_PROXY is set: libcurl reads them with no_proxy
        Libproxy,     // the desktop's settings, a PAC file or WPAD, through libproxy
    };
    Source source = Source::Environment;
    // libcurl proxy URLs to try in order, "" for a direct connection; empty for Environment.
    std::vector<std::string> proxies;
};

// The environment's proxy variables when set (as before), else what libproxy answers for `url`.
ProxyChoice ChooseProxies(const std::string& url);

// "libproxy (GNOME settings)" and the like: for the log and the doctor.
std::string SourceName(ProxyChoice::Source source);

// The proxies in order and who chose them, without credentials: "http://p:3128, DIRECT (libproxy
// (...))", or the environment's variable as it stands.
std::string DescribeProxies(const ProxyChoice& choice);

// Any text that may carry proxy addresses (libcurl's error texts, libproxy's answers, the
// environment's variables) with every address's user name and password shown as "***": for the
// log, the doctor's report and the support bundle.
std::string RedactProxyCredentials(const std::string& text);

// A proxy URL as RedactProxyCredentials shows it; "DIRECT" for "".
std::string ProxyForLog(const std::string& proxy);

}  // namespace qe
