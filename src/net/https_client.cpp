#include "net/https_client.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <p11-kit/pkcs11.h>

#include "log/enroll_log.h"
#include "log/failure_logger.h"
#include "log/last_error.h"
#include "net/tls_key.h"
#include "token/pkcs11_call.h"
#include "toolkit/secret.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

constexpr const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/60.0.3112.113 Safari/537.36";
// Alerts with which a server refuses the presented certificate: bad_certificate,
// certificate_unknown, unknown_ca, access_denied.
constexpr int kCertificateRefusals[] = {42, 46, 48, 49};
// What the server's refusal of the certificate is logged as.
constexpr std::uint32_t kCertUnknownCode = 2148074279u;  // 0x80090327
constexpr std::uint32_t kHeaderNotFoundCode = 12150;

std::mutex g_processMutex;
std::wstring g_serverMessage;
std::vector<Bytes> g_acceptedIssuers;

struct CurlFree {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlPtr = std::unique_ptr<CURL, CurlFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

void EnsureCurlGlobal() {
    static const CURLcode init = [] {
        // libcurl opens SSLKEYLOGFILE when it starts, to write every session's secrets to it.
        const char* keyLog = std::getenv("SSLKEYLOGFILE");
        const std::string saved = keyLog != nullptr ? keyLog : "";
        unsetenv("SSLKEYLOGFILE");
        const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
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
    SetLastSystemError(static_cast<std::uint32_t>(code), text);
    LogFailure();
}

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

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

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
    SecretBytes body;  // may be a delivery: its copies are wiped as it grows
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    std::string tlsVersion;
    CURLcode result = CURLE_OK;

    static Transfer* Of(const SSL* ssl) {
        return static_cast<Transfer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    }

    static int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** key) {
        Transfer* t = Of(ssl);
        if (t == nullptr) {
            return 0;
        }
        t->certRequested = true;
        t->caNames.clear();
        if (const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(ssl)) {
            for (int i = 0; i < sk_X509_NAME_num(names); ++i) {
                unsigned char* der = nullptr;
                const int n = i2d_X509_NAME(sk_X509_NAME_value(names, i), &der);
                if (n > 0) {
                    t->caNames.emplace_back(der, der + n);
                }
                OPENSSL_free(der);
            }
        }
        if (!t->certificate) {
            return -1;  // abandon the handshake: the caller retries with a certificate
        }
        const Bytes& der = t->certificate->CertificateDer();
        const unsigned char* p = der.data();
        X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        PkeyPtr pkey = cert ? MakeTlsClientKey(*t->certificate, cert.get()) : nullptr;
        if (!pkey) {
            return 0;
        }
        *x509 = cert.release();
        *key = pkey.release();
        return 1;
    }

    static void InfoCallback(const SSL* ssl, int where, int ret) {
        Transfer* t = Of(ssl);
        if (t == nullptr) {
            return;
        }
        if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT) {
            for (int refusal : kCertificateRefusals) {
                t->certificateRefused = t->certificateRefused || (ret & 0xFF) == refusal;
            }
        }
        if ((where & SSL_CB_HANDSHAKE_DONE) != 0) {
            t->tlsVersion = SSL_get_version(ssl);
        }
    }

    static CURLcode SslContextCallback(CURL*, void* sslContext, void* data) {
        auto* ctx = static_cast<SSL_CTX*>(sslContext);
        auto* t = static_cast<Transfer*>(data);
        SSL_CTX_set_app_data(ctx, t);
        // The server's name is part of the chain check, so a server with a certificate for another
        // name fails the handshake before the client certificate is asked for (or signed).
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, t->host.c_str()) != 1 &&
            X509_VERIFY_PARAM_set1_host(param, t->host.c_str(), 0) != 1) {
            return CURLE_SSL_CONNECT_ERROR;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_keylog_callback(ctx, nullptr);
        SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
        SSL_CTX_set_info_callback(ctx, InfoCallback);
        // A resumed session would skip the certificate request the retry depends on.
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        if (t->capToTls12 &&
            (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
             SSL_CTX_set1_client_sigalgs_list(ctx, "RSA+SHA256:RSA+SHA384:RSA+SHA512") != 1)) {
            return CURLE_SSL_CERTPROBLEM;
        }
        return CURLE_OK;
    }

    static size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        const size_t n = size * count;
        if (t->body.size() + n > kMaxBodySize) {
            t->bodyTooLarge = true;
            return 0;  // ends the transfer
        }
        t->body.insert(t->body.end(), data, data + n);
        return n;
    }

    static size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
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
};

std::wstring ServerMessage() {
    std::lock_guard lock(g_processMutex);
    return g_serverMessage;
}

void SetServerMessage(std::wstring message) {
    std::lock_guard lock(g_processMutex);
    g_serverMessage = std::move(message);
}

std::vector<Bytes> AcceptedIssuers() {
    std::lock_guard lock(g_processMutex);
    return g_acceptedIssuers;
}

void ClearAcceptedIssuers() {
    std::lock_guard lock(g_processMutex);
    g_acceptedIssuers.clear();
}

CHttpsClient::CHttpsClient() {
    EnsureCurlGlobal();
}

CHttpsClient::~CHttpsClient() = default;

const std::string& CHttpsClient::LastTlsVersion() const {
    static const std::string none;
    return transfer_ ? transfer_->tlsVersion : none;
}

ErrorId CHttpsClient::Connect(const std::wstring& host, std::uint16_t port) {
    transfer_.reset();
    connected_ = false;
    const auto narrowHost = WideToUtf8(host);
    if (!narrowHost || narrowHost->empty() ||
        narrowHost->find_first_of("/?#@ \t\r\n") != std::string::npos) {
        SetLastSystemError(CURLE_URL_MALFORMAT, "bad host name");
        LogFailure();
        return ERR_CONNECTION;
    }
    host_ = *narrowHost;
    port_ = port;
    connected_ = true;
    return ERR_SUCCESS;
}

ErrorId CHttpsClient::Perform(ClientCertificate* certificate) {
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
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, limits.connect);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.stall);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, limits.total);
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
    transfer_ = std::move(t);
    return ERR_SUCCESS;
}

ErrorId CHttpsClient::SendRequest(const std::wstring& path, const Bytes* body,
                                  ClientCertificate* certificate) {
    LogTag tag("Sending Request");
    SetLastSystemError(0, "");
    SetServerMessage(L"");  // a message belongs to the answer of one request
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
    if (Perform(nullptr) != ERR_SUCCESS) {
        return ERR_CONNECTION;
    }
    Transfer& first = *transfer_;
    // A transfer that broke after the answer began is the answer's problem, not the send's.
    if (first.result == CURLE_OK || first.status != 0) {
        return ERR_SUCCESS;
    }
    LogCurlFailure(first.result, first.errorBuffer);
    if (!first.certRequested) {
        Log().Write("Other Error  = " + std::to_string(first.result));
        return ERR_CONNECTION;
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
    if (Perform(certificate) != ERR_SUCCESS) {
        return ERR_CONNECTION;
    }
    Transfer& second = *transfer_;
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
    // Only a PIN the token refused is the customer's to correct; a token that failed or was
    // pulled out is a broken connection.
    return tokenFailure == CKR_PIN_INCORRECT || tokenFailure == CKR_PIN_LEN_RANGE
               ? ERR_BAD_CERT_OR_PASSWORD
               : ERR_CONNECTION;
}

ErrorId CHttpsClient::ReceiveResponse(Bytes& body) {
    LogTag tag("GetResponse");
    SetLastSystemError(0, "");
    ErrorId result = ERR_SUCCESS;
    long status = 0;
    if (!transfer_ || !transfer_->curl) {
        SetLastSystemError(CURLE_FAILED_INIT, "no request");
        LogFailure();
        result = ERR_CONNECTION;
    } else {
        Transfer& t = *transfer_;
        Log().Write("Get response");
        if (t.status == 0) {
            LogCurlFailure(t.result, t.errorBuffer);
            result = ERR_CONNECTION;
        } else {
            Log().Write("Query status code");
            status = t.status;
            body.clear();
            Log().Write("Read data");
            body.assign(t.body.begin(), t.body.end());
            if (t.bodyTooLarge) {
                LogCurlFailure(CURLE_FILESIZE_EXCEEDED, "answer above the size limit");
                body.clear();  // refused whole: neither kept nor written to the log
                result = ERR_BAD_RESPONSE;
            } else if (t.result != CURLE_OK) {
                LogCurlFailure(t.result, t.errorBuffer);
                result = ERR_CONNECTION;
            }
            if (status != 200 && result != ERR_BAD_RESPONSE) {
                result = ERR_SERVER;
                const auto message = Utf8ToWide(ToString(body));
                if (!message) {
                    result = ERR_BAD_RESPONSE;
                } else {
                    SetServerMessage(TextForScreen(*message));  // logged whole below
                    if (message->compare(0, 6, L"<html>") == 0) {
                        result = ERR_BAD_RESPONSE;
                    }
                }
            }
        }
    }
    Log().Write("Status code: " + std::to_string(static_cast<unsigned long>(status)));
    Log().Write("Response len: " + std::to_string(body.size()));
    Log().Write("Response msg: \"" + ToString(body) + "\"");
    return result;
}

ErrorId CHttpsClient::QueryHeader(std::wstring& nameAndValue) {
    if (!transfer_ || transfer_->status == 0) {
        SetLastSystemError(CURLE_FAILED_INIT, "no answer");
        LogFailure();
        return ERR_CONNECTION;
    }
    const std::string name = Lower(WideToUtf8ForLog(nameAndValue));
    for (const auto& [key, value] : transfer_->responseHeaders) {
        if (key == name) {
            // Header values are bytes on the wire: UTF-8 when they are, else Latin-1.
            if (auto wide = Utf8ToWide(value)) {
                nameAndValue = std::move(*wide);
            } else {
                const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
                nameAndValue.assign(bytes, bytes + value.size());
            }
            return ERR_SUCCESS;
        }
    }
    SetLastSystemError(kHeaderNotFoundCode, "The requested header could not be located.");
    LogFailure();
    nameAndValue.clear();
    return ERR_SUCCESS;
}

ErrorId CHttpsClient::GetAcceptedIssuers() {
    LogTag tag("GetAcceptedIssuers");
    if (!transfer_) {
        SetLastSystemError(CURLE_FAILED_INIT, "no request");
        LogFailure();
        return ERR_CONNECTION;
    }
    Log().Write("Query Issuers");
    if (!transfer_->certRequested) {
        SetLastSystemError(CURLE_SSL_CERTPROBLEM, "the server asked for no client certificate");
        LogFailure();
        return ERR_CONNECTION;
    }
    Log().Write("Create Issuers list");
    std::lock_guard lock(g_processMutex);
    for (const Bytes& name : transfer_->caNames) {
        g_acceptedIssuers.push_back(name);
    }
    return ERR_SUCCESS;
}

}  // namespace qe
