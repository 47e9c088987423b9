#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <openssl/err.h>
#include <p11-kit/pkcs11.h>

#include "log/enroll_log.h"
#include "log/failure_logger.h"
#include "log/last_error.h"
#include "net/https_transfer.h"

#include "net/encrypted_delivery.h"
#include "net/proxy_login.h"
#include "token/pkcs11_call.h"
#include "toolkit/secret.h"
#include "toolkit/utf8.h"

// One request on the wire: libcurl's options and limits, what arrives, and the second attempt
// with a certificate when the server asks for one.

namespace qe {
namespace {

constexpr const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/60.0.3112.113 Safari/537.36";
// What the server's refusal of the certificate is logged as.
constexpr std::uint32_t kCertUnknownCode = 2148074279u;  // 0x80090327

// libcurl's own memory is wiped when it is freed: it holds a proxy's password, the headers built
// from it and what arrives before it reaches us.
void WipingFree(void* block) {
    if (block != nullptr) {
        Wipe(block, malloc_usable_size(block));
    }
    std::free(block);
}

void* WipingRealloc(void* block, std::size_t size) {
    if (block == nullptr) {
        return std::malloc(size);
    }
    if (size == 0) {
        WipingFree(block);
        return nullptr;
    }
    void* moved = std::malloc(size);
    if (moved != nullptr) {
        std::memcpy(moved, block, std::min(size, malloc_usable_size(block)));
        WipingFree(block);
    }
    return moved;
}

char* WipingStrdup(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

// libcurl asks at least once a second, also while nothing arrives.
int StopWhenCancelled(void* step, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const NetworkStep*>(step)->Cancelled() ? 1 : 0;
}

}  // namespace

void EnsureCurlGlobal() {
    static const CURLcode init = [] {
        // libcurl opens SSLKEYLOGFILE when it starts, to write every session's secrets to it.
        const char* keyLog = std::getenv("SSLKEYLOGFILE");
        const std::string saved = keyLog != nullptr ? keyLog : "";
        unsetenv("SSLKEYLOGFILE");
        const CURLcode rc = curl_global_init_mem(CURL_GLOBAL_DEFAULT, &std::malloc, &WipingFree,
                                                 &WipingRealloc, &WipingStrdup, &std::calloc);
        if (keyLog != nullptr) {
            setenv("SSLKEYLOGFILE", saved.c_str(), 1);
        }
        return rc;
    }();
    (void)init;
}

// libcurl starts with the program, before any thread could read the environment while the key log
// variable is hidden from it.
[[maybe_unused]] const bool g_curlStarted = (EnsureCurlGlobal(), true);

void LogCurlFailure(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    if (detail != nullptr && *detail != '\0') {
        text += ": ";
        text += detail;
    }
    // libcurl's text holds the whole proxy address when it cannot take it apart.
    text = RedactProxyCredentials(text);
    SetLastSystemError(static_cast<std::uint32_t>(code), text);
    LogFailure();
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

size_t CHttpsClient::Transfer::WriteCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body.size() + n > kMaxBodySize) {
        t->bodyTooLarge = true;
        return 0;  // ends the transfer
    }
    t->body.insert(t->body.end(), data, data + n);
    return n;
}

size_t CHttpsClient::Transfer::HeaderCallback(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    if (line.rfind("HTTP/", 0) == 0) {
        t->responseHeaders.clear();  // a new (possibly final) response begins
        return n;
    }
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        const auto first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? std::string() : value.substr(first);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.pop_back();
        }
        t->responseHeaders.emplace_back(Lower(line.substr(0, colon)), value);
    }
    return n;
}

ErrorId CHttpsClient::Attempt(ClientCertificate* certificate, const std::string* proxy) {
    auto t = std::make_unique<Transfer>();
    t->host = host_;
    t->curl.reset(curl_easy_init());
    if (!t->curl) {
        transfer_ = std::move(t);
        LogCurlFailure(CURLE_FAILED_INIT, nullptr);
        return ERR_CONNECTION;
    }
    if (certificate != nullptr) {
        t->certificate = std::make_unique<RecordingCertificate>(*certificate);
        t->capToTls12 = !certificate->CanSignRaw();
    }
    // The header block's lines, then what every request carries: plain text accepted; libcurl
    // adds no Content-Type or Expect of its own.
    const std::string block = WideToUtf8ForLog(headerBlock);
    curl_slist* list = nullptr;
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find('\n', start);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(start, end - start);
        start = end + 1;
        // libcurl drops "Name:" without a value; "Name;" is its form for an empty one.
        if (const auto colon = line.find(':');
            colon != std::string::npos &&
            line.find_first_not_of(' ', colon + 1) == std::string::npos) {
            line = line.substr(0, colon) + ";";
        }
        if (!line.empty() && line.find('\r') == std::string::npos) {
            list = curl_slist_append(list, line.c_str());
        }
    }
    for (const char* fixed : {"Accept: text/plain", "Content-Type:", "Expect:"}) {
        list = curl_slist_append(list, fixed);
    }
    t->headers.reset(list);

    CURL* c = t->curl.get();
    const std::string url = "https://" + host_ + ":" + std::to_string(port_) + path_;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    // The authority's servers speak HTTP/1.1; nothing else is offered.
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headers.get());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t->errorBuffer);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    long connectMs = limits.connect * 1000;
    long totalMs = limits.total * 1000;
    if (const long left = step_.RemainingMs(); left > 0) {
        connectMs = std::min(connectMs, left);
        totalMs = std::min(totalMs, left);
    }
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.stall);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, totalMs);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &StopWhenCancelled);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &step_);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, handshakeOnly_ ? 1L : 0L);
    if (proxy != nullptr) {
        curl_easy_setopt(c, CURLOPT_PROXY, proxy->c_str());  // "" goes direct
    }
    // Whichever scheme the proxy offers that libcurl speaks. A login typed in this run goes before
    // one written in the proxy setting.
    curl_easy_setopt(c, CURLOPT_PROXYAUTH, basicFirst_ ? CURLAUTH_BASIC : CURLAUTH_ANY);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Transfer::DebugCallback);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, t.get());
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    const std::string address = ProxyAddress(proxy);
    const ProxyLogins* logins = step_.ProxyLoginsOfRun();
    if (ProxyLogin login; !address.empty() && logins != nullptr && logins->Cached(address, login)) {
        if (const auto hidden = address.find("***@"); hidden != std::string::npos) {
            // libcurl prefers the login in the address to the one given apart.
            const std::string bare = address.substr(0, hidden) + address.substr(hidden + 4);
            curl_easy_setopt(c, CURLOPT_PROXY, bare.c_str());
        }
        login.password.Append(std::string_view("", 1));  // libcurl copies up to a NUL
        curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, login.user.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, login.password.data());
    }
    if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0') {
        curl_easy_setopt(c, CURLOPT_CAINFO, file);
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0') {
        curl_easy_setopt(c, CURLOPT_CAPATH, dir);
    }
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, &Transfer::SslContextCallback);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, t.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::WriteCallback);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Transfer::HeaderCallback);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, t.get());
    if (!body_.empty()) {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body_.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    } else {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }

    // What earlier steps left on OpenSSL's queue would read as this transfer's failure; what this
    // one leaves is in curl's message and goes with it.
    ERR_clear_error();
    t->result = curl_easy_perform(c);
    ERR_clear_error();
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &t->status);
    curl_easy_getinfo(c, CURLINFO_HTTP_CONNECTCODE, &t->proxyStatus);
    curl_easy_getinfo(c, CURLINFO_PROXYAUTH_AVAIL, &t->proxySchemes);
    curl_off_t secured = 0;
    t->secured =
        curl_easy_getinfo(c, CURLINFO_APPCONNECT_TIME_T, &secured) == CURLE_OK && secured > 0;
    transfer_ = std::move(t);
    return ERR_SUCCESS;
}

ErrorId CHttpsClient::SendRequest(const std::wstring& path, const Bytes* body,
                                  ClientCertificate* certificate) {
    LogTag tag("Sending Request");
    SetLastSystemError(0, "");
    step_.SetServerMessage(L"");  // a message belongs to the answer of one request
    const std::string narrowPath = WideToUtf8ForLog(path);
    Log().Write("Send request to " + narrowPath);
    transfer_.reset();
    path_ = narrowPath;
    body_ = body != nullptr ? *body : Bytes();
    Log().Write("Open Req");
    if (body != nullptr) {
        Log().Write("Acepted types: text/plain");
        Log().Write("Send: " + ToString(*body));
        Log().Write("To : " + narrowPath);
    }
    if (!connected_ || path_.empty() || path_.front() != '/' ||
        path_.find_first_of(" \t\r\n") != std::string::npos) {
        SetLastSystemError(CURLE_URL_MALFORMAT, "no connection or bad path");
        LogFailure();
        return ERR_CONNECTION;
    }

    Log().Write("Send Req");
    if (const ErrorId rc = Perform(nullptr); rc != ERR_SUCCESS) {
        return rc;
    }
    Transfer& first = *transfer_;
    if (first.result == CURLE_ABORTED_BY_CALLBACK) {
        Log().Write("Waiting cancelled by the customer");
        return ERR_CANCELLED;
    }
    // A transfer that broke after the answer began is the answer's problem, not the send's.
    if (first.result == CURLE_OK || first.status != 0) {
        return ERR_SUCCESS;
    }
    LogCurlFailure(first.result, first.errorBuffer);
    if (!first.certRequested) {
        Log().Write("Other Error  = " + std::to_string(first.result));
        if (FailureId(first) == ERR_TLS_INSPECTED) {
            Log().Write("The server's certificate reaches no trusted root; its issuer: " +
                        first.serverIssuer);
        } else if (HandshakeBrokeOnlyInTunnel()) {
            transfer_->brokenInTunnel = true;
            Log().Write(
                "The handshake fails only through the proxy: without it the server's "
                "certificate verifies");
        }
        return FailureId(*transfer_);
    }
    Log().Write("Cert requested");
    if (certificate == nullptr) {
        Log().Write("The selected certificate is NULL. Error Authentification");
        return ERR_BAD_CERT_OR_PASSWORD;
    }
    // The issuer list of the refused attempt stays readable after the retry.
    std::vector<Bytes> caNames = std::move(first.caNames);
    if (certificate->Prepare() != 0) {
        return ERR_CANCELLED;
    }

    Log().Write("Resend Req");
    if (const ErrorId rc = Perform(certificate); rc != ERR_SUCCESS) {
        return rc;
    }
    Transfer& second = *transfer_;
    if (second.result == CURLE_ABORTED_BY_CALLBACK) {
        Log().Write("Waiting cancelled by the customer");
        return ERR_CANCELLED;
    }
    if (second.caNames.empty()) {
        second.caNames = std::move(caNames);
    }
    second.certRequested = true;
    if (second.result == CURLE_OK || (second.status != 0 && !second.certificateRefused)) {
        return ERR_SUCCESS;
    }
    const int tokenFailure = second.certificate ? second.certificate->failure : 0;
    if (tokenFailure != 0) {
        // The handshake broke on the token: its result is the cause, not the TLS error after it.
        SetLastSystemError(static_cast<std::uint32_t>(tokenFailure),
                           CkrName(static_cast<CK_RV>(tokenFailure)));
        LogFailure();
    } else {
        LogCurlFailure(second.result, second.errorBuffer);
    }
    if (second.certificateRefused) {
        Log().Write("Error after sending the certificate = " + std::to_string(kCertUnknownCode) +
                    " ( Server says: Certificate Unknown ) ");
        return ERR_BAD_CERT_OR_PASSWORD;
    }
    Log().Write("Error after sending the certificate = " + std::to_string(second.result));
    if (tokenFailure == 0) {
        return ERR_CONNECTION;
    }
    if (certificate->Cancelled()) {
        return ERR_CANCELLED;
    }
    if (tokenFailure == CKR_PIN_LOCKED) {
        return ERR_PIN_LOCKED;
    }
    // A PIN the token refused is the customer's to correct; a token that failed or was pulled
    // out is told as the token's failure, never as the network's.
    return tokenFailure == CKR_PIN_INCORRECT || tokenFailure == CKR_PIN_LEN_RANGE
               ? ERR_BAD_CERT_OR_PASSWORD
               : TokenFailureErrorId(static_cast<CK_RV>(tokenFailure));
}

}  // namespace qe
