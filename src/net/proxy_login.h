#pragma once

#include <map>
#include <mutex>
#include <string>

#include "toolkit/error_id.h"
#include "toolkit/secret.h"

namespace qe {

// What a proxy that answered 407 is given: held in memory for the run, never written anywhere.
struct ProxyLogin {
    std::string user;
    Secret password;
};

// The customer's side of a proxy that asks for a password. The main window implements it.
class ProxyLoginPort {
public:
    virtual ~ProxyLoginPort() = default;
    // Asks for the user name and password of `proxy` (an address without credentials) and blocks
    // the calling worker until the customer answers; `refused` when the last ones given were
    // refused; `inClear` when the password would go unencrypted to the proxy (Basic over a plain
    // connection). False when the customer cancelled.
    virtual bool AskProxyLogin(const std::string& proxy, bool refused, bool inClear,
                               ProxyLogin& login) = 0;
};

// The logins typed in one run, by proxy address: typed once, whichever step meets the proxy
// first. Shared by the run's workers, hence the lock.
class ProxyLogins {
public:
    // Where the logins are asked; null (the default) ends a request that a proxy refused for
    // want of a password with ERR_PROXY_AUTH.
    void SetPort(ProxyLoginPort* port);
    // The login given for `proxy` in this run, if any (a copy).
    bool Cached(const std::string& proxy, ProxyLogin& login) const;
    // Asks the port for `proxy`'s login and keeps it for the run. Returns 0, or ERR_PROXY_AUTH
    // when there is no port or the customer cancelled (the kept login is forgotten then).
    ErrorId Ask(const std::string& proxy, bool refused, bool inClear);

private:
    mutable std::mutex mutex_;
    ProxyLoginPort* port_ = nullptr;
    std::map<std::string, ProxyLogin> logins_;
};

}  // namespace qe
