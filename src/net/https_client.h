#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/client_certificate.h"
#include "net/network_step.h"
#include "net/proxy_choice.h"
#include "toolkit/bytes.h"
#include "toolkit/error_id.h"

namespace qe {

// A small synchronous HTTPS client over libcurl: HTTP/1.1 over TLS 1.2 or later only, the server
// verified against the system's trust store (SSL_CERT_FILE/SSL_CERT_DIR honoured) and its name
// checked inside the handshake, a header block sent with every request, the proxy of
// https_proxy/no_proxy or else the desktop's (ChooseProxies). One object belongs to one thread
// and one step, whose deadline bounds its requests and whose cancel ends them.
// Every failing library call goes through the failure logger.
class CHttpsClient {
public:
    // Bodies above this size are refused rather than held in memory.
    static constexpr std::size_t kMaxBodySize = 64u << 20;

    using Limits = RequestLimits;
    Limits limits;  // the step's to begin with

    explicit CHttpsClient(NetworkStep& step);
    ~CHttpsClient();
    CHttpsClient(const CHttpsClient&) = delete;
    CHttpsClient& operator=(const CHttpsClient&) = delete;

    // Sent with every request of this client, lines separated by "\n".
    std::wstring headerBlock;

    // Forgets any previous request and sets the host (no scheme) and port. Returns 0 or 7.
    ErrorId Connect(const std::wstring& host, std::uint16_t port);

    // GET when `body` is null or empty, POST otherwise. Presents `certificate` when the server
    // asks for one: the first attempt goes without, and when the server asks the request is sent
    // again with it. Returns 0; 3 when the server asked for a certificate and none was given, or
    // refused the presented one with a certificate alert, or the token refused the PIN; 1 when
    // the user cancelled the PIN dialog or the network waits; 36 when the server's certificate
    // reaches no trusted root (something on the way inspects TLS); 37 when a proxy asks for a
    // password and the customer gave none (see proxy_login.h); 7 for any other failure (also a
    // token that failed to sign or was pulled out). Forgets the previous server message first.
    ErrorId SendRequest(const std::wstring& path, const Bytes* body,
                        ClientCertificate* certificate);

    // The whole answer of the last request. Returns 0 for status 200; 10 for another status
    // (its body becomes the step's ServerMessage()); 9 when that body is an HTML page, not UTF-8,
    // or any body is above kMaxBodySize; 7 when there is no answer.
    ErrorId ReceiveResponse(Bytes& body);

    // Replaces the header name in `nameAndValue` with its value in the last answer; an absent
    // header reads as empty. Returns 0, or 7 when there is no answer.
    ErrorId QueryHeader(std::wstring& nameAndValue);

    // The server's clock by the last answer's Date header; none without an answer or a date.
    std::optional<std::time_t> AnswerDate() const;

    // Appends the DER names of the certification authorities whose client certificates the last
    // request's server accepts (its certificate request) to `issuers`, in the server's order.
    // Returns 0, or 7 when no request was made or the server asked for no certificate; when the
    // request found no secure connection, what SendRequest returned for it.
    ErrorId GetAcceptedIssuers(std::vector<Bytes>& issuers);

    // What the last request's answer proves about the server's handling of it.
    enum class Delivery {
        Accepted,  // answered with status 200
        // Provably not taken: no secure connection came about, the server refused the
        // certificate (or asked for one that was not given), or the authority's own refusal: a
        // 4xx other than 408 and 429 (which only say "later") carrying its plain-text message.
        Refused,
        // Anything else: a connection cut or timed out after it was made, a 5xx (perhaps a
        // gateway's, after the server acted), 408 or 429, a 4xx that is not the authority's
        // (an HTML page, an empty body, another type: a front end's, perhaps after it acted).
        Unknown,
    };
    Delivery LastDelivery() const;

    // How the host given to Connect is reached.
    const ProxyChoice& Proxies() const { return proxies_; }

    // The proxy's answer to the last request's CONNECT (0 when none was made) and, for a 407, the
    // schemes it offered ("Basic, NTLM"): for diagnostics.
    long LastProxyStatus() const;
    std::string LastProxySchemes() const;

    // The TLS version the last request was carried on ("TLSv1.3"), for diagnostics and tests.
    const std::string& LastTlsVersion() const;

    struct Transfer;  // one request's state, shared with the library callbacks

private:
    // One request, through each proxy in turn until one is reached.
    ErrorId Perform(ClientCertificate* certificate);
    // One proxy (null: the environment's), asking the customer again while it answers 407.
    ErrorId AttemptWithLogin(ClientCertificate* certificate, const std::string* proxy);
    ErrorId Attempt(ClientCertificate* certificate, const std::string* proxy);
    // Whether the last transfer's handshake broke only in the proxy's tunnel: made directly, with
    // nothing sent and no certificate, it reaches a server whose certificate verifies.
    bool HandshakeBrokeOnlyInTunnel();

    NetworkStep& step_;
    std::string host_;
    std::uint16_t port_ = 0;
    bool connected_ = false;
    ProxyChoice proxies_;
    std::string path_;
    Bytes body_;
    std::unique_ptr<Transfer> transfer_;
    bool handshakeOnly_ = false;
    // The proxy offered Basic only and closed the connection instead of answering the login sent
    // on it: the next CONNECT carries the login from the start.
    bool basicFirst_ = false;
};

}  // namespace qe
