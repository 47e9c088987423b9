#pragma once

// What the HTTPS client's files share: one request's state, which libcurl's and OpenSSL's
// callbacks reach through the pointer they are given. Not for use outside src/net.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <openssl/ssl.h>

#include "net/https_client.h"
#include "toolkit/secret.h"

namespace qe {

struct CurlFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlPtr = std::unique_ptr<CURL, CurlFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// The identifier for a transfer that ended without an answer: the inspection text when the server's
// certificate did not chain to a trusted root, else the connection error.
ErrorId FailureId(const CHttpsClient::Transfer& t);

// Starts libcurl once for the process, with the key log variable hidden from it.
void EnsureCurlGlobal();
// A libcurl failure, with the detail libcurl gave, as the thread's last error, logged.
void LogCurlFailure(CURLcode code, const char* detail);
// The proxy a request goes through, with credentials shown as ***; empty when none.
std::string ProxyAddress(const std::string* proxy);
// ASCII lower case: header names compare without case.
std::string Lower(std::string s);

// Forwards the handshake's signature to the caller's certificate and remembers whether it failed.
class RecordingCertificate final : public ClientCertificate {
public:
    explicit RecordingCertificate(ClientCertificate& inner) : inner_(inner) {}
    const Bytes& CertificateDer() const override { return inner_.CertificateDer(); }
    int Prepare() override { return inner_.Prepare(); }
    bool CanSignRaw() override { return inner_.CanSignRaw(); }
    int SignRaw(const Bytes& block, Bytes& signature) override {
        return Record(inner_.SignRaw(block, signature));
    }
    int SignDigestInfo(const Bytes& digestInfo, Bytes& signature) override {
        return Record(inner_.SignDigestInfo(digestInfo, signature));
    }
    bool Cancelled() const override { return inner_.Cancelled(); }
    int failure = 0;  // the token's result of the first failed signature

private:
    int Record(int rc) {
        if (failure == 0) {
            failure = rc;
        }
        return rc;
    }
    ClientCertificate& inner_;
};

struct CHttpsClient::Transfer {
    std::string host;  // the name (or address) the server's certificate must carry
    CurlPtr curl;
    SlistPtr headers;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::unique_ptr<RecordingCertificate> certificate;
    bool capToTls12 = false;
    bool certRequested = false;
    std::vector<Bytes> caNames;
    bool certificateRefused = false;
    bool bodyTooLarge = false;
    long status = 0;
    bool secured = false;  // the TLS handshake came to its end on our side
    SecretBytes body;      // may be a delivery: its copies are wiped as it grows
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    std::string tlsVersion;
    CURLcode result = CURLE_OK;
    long proxyStatus = 0;         // the proxy's answer to CONNECT
    long proxySchemes = 0;        // what a 407 offered (CURLAUTH_*)
    bool loginOnWire = false;     // the last CONNECT carried a user name and password
    bool loginAnswered = false;   // and the proxy answered it
    bool brokenInTunnel = false;  // the handshake failed through the proxy, not without it
    int verifyError = 0;          // why the server's certificate failed verification (X509_V_ERR_*)
    std::string serverIssuer;     // the issuer named by the certificate that failed

    static Transfer* Of(const SSL* ssl) {
        return static_cast<Transfer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    }

    // TLS set-up and verification (https_tls.cpp).
    static int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** key);
    static void InfoCallback(const SSL* ssl, int where, int ret);
    static int VerifyCallback(int ok, X509_STORE_CTX* store);
    static CURLcode SslContextCallback(CURL*, void* sslContext, void* data);
    // What arrives (https_transfer.cpp).
    static size_t WriteCallback(char* data, size_t size, size_t count, void* user);
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* user);
    // What goes to and comes from the proxy before the tunnel (https_proxy.cpp).
    static int DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user);
};

}  // namespace qe
