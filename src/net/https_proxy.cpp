#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include <strings.h>

#include "log/enroll_log.h"
#include "net/https_transfer.h"
#include "net/proxy_login.h"

// The way a request goes out: the proxies in turn, the customer's login when one asks for it, and
// the direct handshake that tells a broken tunnel apart.

namespace qe {

std::string ProxyAddress(const std::string* proxy) {
    if (proxy != nullptr) {
        return ProxyForLog(*proxy);
    }
    for (const char* name : {"https_proxy", "HTTPS_PROXY"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return ProxyForLog(value);
        }
    }
    return {};
}

namespace {

// Failures that left nothing with any server: the next proxy of the list may do better.
bool Unreached(const CHttpsClient::Transfer& t) {
    return t.status == 0 && !t.secured &&
           (t.result == CURLE_COULDNT_RESOLVE_PROXY || t.result == CURLE_COULDNT_RESOLVE_HOST ||
            t.result == CURLE_COULDNT_CONNECT || t.result == CURLE_PROXY);
}

std::string SchemeNames(long schemes) {
    static constexpr std::pair<unsigned long, const char*> kNames[] = {
        {CURLAUTH_BASIC, "Basic"},   {CURLAUTH_DIGEST, "Digest"},
        {CURLAUTH_NTLM, "NTLM"},     {CURLAUTH_NEGOTIATE, "Negotiate"},
        {CURLAUTH_BEARER, "Bearer"}, {CURLAUTH_AWS_SIGV4, "AWS4"},
    };
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if ((static_cast<unsigned long>(schemes) & bit) != 0) {
            names += names.empty() ? name : std::string(", ") + name;
        }
    }
    return names.empty() ? "a scheme not named" : names;
}

bool HasProxyAuthorization(std::string_view headers) {
    static constexpr std::string_view kName = "\nproxy-authorization:";
    for (std::size_t at = headers.find('\n'); at != std::string_view::npos;
         at = headers.find('\n', at + 1)) {
        if (headers.size() - at >= kName.size() &&
            strncasecmp(headers.data() + at, kName.data(), kName.size()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

// Read in place: the login's header is never copied.
int CHttpsClient::Transfer::DebugCallback(CURL*, curl_infotype type, char* data, size_t size,
                                          void* user) {
    auto* t = static_cast<Transfer*>(user);
    const std::string_view text(data, size);
    if (type == CURLINFO_HEADER_OUT && text.starts_with("CONNECT ")) {
        t->loginOnWire = HasProxyAuthorization(text);
        t->loginAnswered = false;
    } else if (type == CURLINFO_HEADER_IN && text.starts_with("HTTP/")) {
        t->loginAnswered = t->loginOnWire;
    }
    return 0;
}

ErrorId CHttpsClient::AttemptWithLogin(ClientCertificate* certificate, const std::string* proxy) {
    for (;;) {
        if (const ErrorId rc = Attempt(certificate, proxy); rc != ERR_SUCCESS) {
            return rc;
        }
        const Transfer& t = *transfer_;
        // Some proxies answer a login they refuse with 401; to CONNECT only the proxy answers. A
        // wait that ended between the proxy's question and libcurl's answer is no refusal.
        if ((t.proxyStatus != 407 && t.proxyStatus != 401) ||
            t.result == CURLE_OPERATION_TIMEDOUT || t.result == CURLE_ABORTED_BY_CALLBACK) {
            return ERR_SUCCESS;
        }
        const std::string address = ProxyAddress(proxy);
        if (t.loginOnWire && !t.loginAnswered) {
            Log().Write("The proxy " + address +
                        " closed the connection before answering the user name and password sent");
            // Over a new connection Basic goes with the first CONNECT; any other scheme needs the
            // connection the proxy closed, and the failure is the connection's.
            if (basicFirst_ || t.proxySchemes != static_cast<long>(CURLAUTH_BASIC)) {
                return ERR_SUCCESS;
            }
            basicFirst_ = true;
            continue;
        }
        const bool refused = t.loginOnWire;  // what the proxy answered with this question
        // libcurl takes the strongest scheme offered: Basic only when it is the only one.
        const bool inClear = t.proxySchemes == static_cast<long>(CURLAUTH_BASIC) &&
                             address.rfind("https://", 0) != 0;
        Log().Write("The proxy " + address + " asks for a user name and password (" +
                    SchemeNames(t.proxySchemes) + (refused ? "); those sent were refused" : ")"));
        const auto asked = std::chrono::steady_clock::now();
        ProxyLogins* logins = step_.ProxyLoginsOfRun();
        const ErrorId given =
            logins != nullptr ? logins->Ask(address, refused, inClear) : ERR_PROXY_AUTH;
        // The customer's typing is no network wait.
        step_.Postpone(std::chrono::steady_clock::now() - asked);
        if (given != ERR_SUCCESS) {
            Log().Write("No user name and password for the proxy");
            return ERR_PROXY_AUTH;
        }
    }
}

ErrorId CHttpsClient::Perform(ClientCertificate* certificate) {
    if (proxies_.source == ProxyChoice::Source::Environment) {
        return AttemptWithLogin(certificate, nullptr);
    }
    auto& list = proxies_.proxies;
    const bool logged = list.size() > 1 || !list.front().empty();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (logged) {
            Log().Write("Proxy: " + ProxyForLog(*it) + " from " + SourceName(proxies_.source));
        }
        if (const ErrorId rc = AttemptWithLogin(certificate, &*it); rc != ERR_SUCCESS) {
            return rc;
        }
        if (!Unreached(*transfer_) || std::next(it) == list.end()) {
            // The retry with a certificate goes the same way.
            std::rotate(list.begin(), it, std::next(it));
            break;
        }
        LogCurlFailure(transfer_->result, transfer_->errorBuffer);
    }
    return ERR_SUCCESS;
}

long CHttpsClient::LastProxyStatus() const {
    return transfer_ ? transfer_->proxyStatus : 0;
}

std::string CHttpsClient::LastProxySchemes() const {
    return transfer_ ? SchemeNames(transfer_->proxySchemes) : std::string();
}

bool CHttpsClient::HandshakeBrokeOnlyInTunnel() {
    static constexpr CURLcode kBroken[] = {CURLE_SSL_CONNECT_ERROR, CURLE_RECV_ERROR,
                                           CURLE_SEND_ERROR, CURLE_GOT_NOTHING,
                                           CURLE_PEER_FAILED_VERIFICATION};
    const Transfer& t = *transfer_;
    if (t.proxyStatus != 200 || t.secured ||
        std::find(std::begin(kBroken), std::end(kBroken), t.result) == std::end(kBroken)) {
        return false;
    }
    std::unique_ptr<Transfer> kept = std::move(transfer_);
    const Limits saved = limits;
    // Where the way out is only through the proxy, this connection is not waited for long.
    limits.connect = std::min(limits.connect, 5L);
    handshakeOnly_ = true;
    static const std::string direct;
    const bool reached = Attempt(nullptr, &direct) == ERR_SUCCESS && transfer_->verifyError == 0 &&
                         (transfer_->secured || transfer_->certRequested);
    handshakeOnly_ = false;
    limits = saved;
    transfer_ = std::move(kept);
    return reached;
}

}  // namespace qe
