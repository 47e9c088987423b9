#include "net/proxy_login.h"

#include <map>
#include <mutex>

namespace qe {
namespace {

std::mutex g_mutex;
ProxyLoginPort* g_port = nullptr;
// By proxy address: typed once per run, whichever step meets the proxy first.
std::map<std::string, ProxyLogin>& Logins() {
    static auto* const logins = new std::map<std::string, ProxyLogin>;
    return *logins;
}

}  // namespace

void SetProxyLoginPort(ProxyLoginPort* port) {
    std::lock_guard lock(g_mutex);
    g_port = port;
}

bool CachedProxyLogin(const std::string& proxy, ProxyLogin& login) {
    std::lock_guard lock(g_mutex);
    const auto it = Logins().find(proxy);
    if (it == Logins().end()) {
        return false;
    }
    login.user = it->second.user;
    login.password = it->second.password.Clone();
    return true;
}

ErrorId AskForProxyLogin(const std::string& proxy, bool refused, bool inClear) {
    ProxyLoginPort* port = nullptr;
    {
        std::lock_guard lock(g_mutex);
        Logins().erase(proxy);
        port = g_port;
    }
    ProxyLogin login;
    // The dialog is waited for without the lock: another worker may meet the proxy meanwhile.
    if (port == nullptr || !port->AskProxyLogin(proxy, refused, inClear, login)) {
        return ERR_PROXY_AUTH;
    }
    std::lock_guard lock(g_mutex);
    Logins()[proxy] = std::move(login);
    return ERR_SUCCESS;
}

}  // namespace qe
