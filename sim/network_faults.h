#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>
#include <openssl/ssl.h>

namespace qe::sim {

// What the network may do to one exchange between the wizard and the authority, for tests that
// fail every exchange in turn:
//   refuse   the connection is reset as its TLS handshake begins: nothing reaches the server
//   reset    the request is read, then the connection is reset; nothing is done
//   silent   the request is read and never answered; nothing is done
//   lost     the request is served (the authority acts), then the connection is reset
//   gateway  the request is served, then a gateway's 502 page goes back instead of the answer
//   frontend the request is served, then a front end's 400 page goes back instead of the answer
enum class FaultKind { None, Refuse, Reset, Silent, Lost, Gateway, Frontend };

// Counts the TLS connections to each listener, records the exchanges each carried, and applies
// the one fault armed, on the connection with its number.
class NetworkFaults {
public:
    // Reads {"listener": "api"|"rekey", "connection": N, "kind": "lost"} (or {} for none), arms
    // it for the N-th connection (from 1) to that listener from now on, and starts counting and
    // recording afresh. Returns the empty text or what is wrong.
    std::string Arm(std::string_view json);
    // A TLS handshake on `listener` begins: numbers the connection (kept on `ssl`), and resets
    // its socket when it is the one to refuse (the handshake then fails by itself).
    void Connected(const std::string& listener, SSL* ssl);
    // The fault for the request about to be served, when its connection is the armed one.
    FaultKind FaultFor(const std::string& listener, const httplib::Request& request);
    // Applies a fault to the request's connection: resets it, or waits until the client hangs up
    // (at most a minute). The gateway's and the front end's pages are the caller's to answer.
    static void Disrupt(FaultKind kind, const httplib::Request& request);
    // Notes an exchange that was served.
    void Record(const std::string& listener, const httplib::Request& request, int status);
    // The exchanges since the last Arm: [{"listener", "connection", "method", "target", "status"}].
    std::string ExchangesJson() const;

private:
    struct Exchange {
        std::string listener;
        int connection;
        std::string method;
        std::string target;
        int status;
    };
    static int ConnectionOf(const httplib::Request& request);

    mutable std::mutex mutex_;
    std::map<std::string, int> connections_;
    std::vector<Exchange> exchanges_;
    std::string listener_;
    int connection_ = 0;
    FaultKind kind_ = FaultKind::None;
};

}  // namespace qe::sim
