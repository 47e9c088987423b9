#include "net/proxy_login.h"

namespace qe {

void ProxyLogins::SetPort(ProxyLoginPort* port) {
    std::lock_guard lock(mutex_);
    port_ = port;
}

bool ProxyLogins::Cached(const std::string& proxy, ProxyLogin& login) const {
    std::lock_guard lock(mutex_);
    const auto it = logins_.find(proxy);
    if (it == logins_.end()) {
        return false;
    }
    login.user = it->second.user;
    login.password = it->second.password.Clone();
    return true;
}

ErrorId ProxyLogins::Ask(const std::string& proxy, bool refused, bool inClear) {
    ProxyLoginPort* port = nullptr;
    {
        std::lock_guard lock(mutex_);
        logins_.erase(proxy);
        port = port_;
    }
    ProxyLogin login;
    // The dialog is waited for without the lock: another worker may meet the proxy meanwhile.
    if (port == nullptr || !port->AskProxyLogin(proxy, refused, inClear, login)) {
        return ERR_PROXY_AUTH;
    }
    std::lock_guard lock(mutex_);
    logins_[proxy] = std::move(login);
    return ERR_SUCCESS;
}

}  // namespace qe
