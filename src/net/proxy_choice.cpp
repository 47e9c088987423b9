#include "net/proxy_choice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include <proxy.h>

namespace qe {
namespace {

// What libproxy's factory fixes when it is made: the session's kind and where its settings are.
constexpr const char* kSessionVariables[] = {
    "DESKTOP_SESSION",          "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
    "XDG_CURRENT_DESKTOP",      "XDG_CONFIG_HOME",          "GSETTINGS_BACKEND",
    "DBUS_SESSION_BUS_ADDRESS",
};

std::mutex g_factoriesMutex;

// One factory per session environment, never freed: the PAC runner leaves threads behind that a
// freed factory would unload the code of. A program sees one session; tests see a few.
pxProxyFactory* Factory() {
    // Held from a global to the end, past static destruction, so that they stay reachable.
    static auto* const factories = new std::map<std::string, pxProxyFactory*>;
    std::string key;
    for (const char* name : kSessionVariables) {
        const char* value = std::getenv(name);
        key += value != nullptr ? std::string(value) : "-";
        key += '\n';
    }
    pxProxyFactory*& factory = (*factories)[key];
    if (factory == nullptr) {
        factory = px_proxy_factory_new();
    }
    return factory;
}

struct ProxiesFree {
    void operator()(char** proxies) const { px_proxy_factory_free_proxies(proxies); }
};

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// libproxy's answer as libcurl spells it; false for a kind libcurl cannot use.
bool ForCurl(std::string_view proxy, std::string& out) {
    static constexpr std::pair<std::string_view, std::string_view> kSchemes[] = {
        {"direct://", ""},
        {"http://", "http://"},
        // Names resolved by the proxy: the client may see no DNS at all behind it.
        {"socks://", "socks5h://"},
        {"socks5://", "socks5h://"},
        {"socks4://", "socks4a://"},
    };
    for (const auto& [from, to] : kSchemes) {
        if (proxy.substr(0, from.size()) == from) {
            out = to.empty() ? std::string()
                             : std::string(to) + std::string(proxy.substr(from.size()));
            return true;
        }
    }
    return false;
}

}  // namespace

ProxyChoice ChooseProxies(const std::string& url) {
    ProxyChoice choice;
    if (Set("https_proxy") || Set("HTTPS_PROXY")) {
        return choice;
    }
    choice.source = ProxyChoice::Source::Libproxy;
    std::unique_ptr<char*, ProxiesFree> proxies;
    {
        std::lock_guard lock(g_factoriesMutex);
        pxProxyFactory* factory = Factory();
        proxies.reset(factory != nullptr ? px_proxy_factory_get_proxies(factory, url.c_str())
                                         : nullptr);
    }
    for (char** p = proxies.get(); p != nullptr && *p != nullptr; ++p) {
        std::string proxy;
        if (ForCurl(*p, proxy)) {
            choice.proxies.push_back(std::move(proxy));
        }
    }
    if (choice.proxies.empty()) {
        choice.proxies.emplace_back();  // nothing usable said: direct, as libproxy's default is
    }
    return choice;
}

std::string SourceName(ProxyChoice::Source source) {
    if (source == ProxyChoice::Source::Environment) {
        return "environment (https_proxy)";
    }
    // libproxy does not say which of its modules answered; its choice follows the session.
    const char* session = std::getenv("DESKTOP_SESSION");
    if (Set("GNOME_DESKTOP_SESSION_ID") ||
        (session != nullptr && std::string_view(session) == "gnome")) {
        return "libproxy (GNOME settings, their PAC file or WPAD)";
    }
    return "libproxy (environment, or WPAD)";
}

std::string DescribeProxies(const ProxyChoice& choice) {
    std::string text;
    if (choice.source == ProxyChoice::Source::Environment) {
        const char* value = std::getenv("https_proxy");
        text = ProxyForLog(value != nullptr && *value != '\0' ? value : std::getenv("HTTPS_PROXY"));
        return text + " (" + SourceName(choice.source) + ", no_proxy applies)";
    }
    for (const std::string& proxy : choice.proxies) {
        text += (text.empty() ? "" : ", ") + ProxyForLog(proxy);
    }
    return text + " (" + SourceName(choice.source) + ")";
}

namespace {

// The user name and password of the one address `piece` holds shown as "***": they end at its
// last '@' (a password may hold '@', '/', '#' or a blank). Without "://" (no scheme, as libcurl
// takes one) only where `alone` and a ':' comes before that '@'.
void RedactAddress(std::string& piece, bool alone) {
    const std::size_t scheme = piece.find("://");
    const std::size_t start =
        scheme != std::string::npos ? scheme + 3 : piece.find_first_not_of(' ');
    const std::size_t at = piece.rfind('@');
    if (at == std::string::npos || start == std::string::npos || at < start ||
        (scheme == std::string::npos && (!alone || piece.find(':', start) > at))) {
        return;
    }
    piece.replace(start, at - start, "***");
}

// One line: an address in quotes (libcurl's "... in 'http://u:p@h'") runs to the line's last
// quote of its kind; outside quotes each "scheme://" starts an address that ends where the next
// one starts.
std::string RedactLine(const std::string& line, bool alone) {
    // An opening quote follows no letter or digit ("Couldn't" holds none).
    std::size_t quote = line.find_first_of("'\"");
    while (quote != std::string::npos && quote > 0 &&
           std::isalnum(static_cast<unsigned char>(line[quote - 1])) != 0) {
        quote = line.find_first_of("'\"", quote + 1);
    }
    const std::size_t close = quote == std::string::npos ? quote : line.rfind(line[quote]);
    if (close != quote) {
        std::string quoted = line.substr(quote + 1, close - quote - 1);
        RedactAddress(quoted, true);
        return RedactLine(line.substr(0, quote), false) + line[quote] + quoted + line[close] +
               RedactLine(line.substr(close + 1), false);
    }
    std::vector<std::size_t> starts{0};
    for (std::size_t k = line.find("://"); k != std::string::npos; k = line.find("://", k + 3)) {
        std::size_t start = k;
        while (start > starts.back() && std::isalnum(static_cast<unsigned char>(line[start - 1]))) {
            --start;
        }
        starts.push_back(start);
    }
    starts.push_back(line.size());
    std::string out;
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
        std::string piece = line.substr(starts[i], starts[i + 1] - starts[i]);
        RedactAddress(piece, alone && starts.size() == 2);
        out += piece;
    }
    return out;
}

}  // namespace

std::string RedactProxyCredentials(const std::string& text) {
    std::string out;
    std::size_t from = 0;
    const bool alone = text.find('\n') == std::string::npos;
    while (from <= text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        out += RedactLine(text.substr(from, end - from), alone);
        if (end < text.size()) {
            out += '\n';
        }
        from = end + 1;
    }
    return out;
}

std::string ProxyForLog(const std::string& proxy) {
    return proxy.empty() ? "DIRECT" : RedactProxyCredentials(proxy);
}

}  // namespace qe
