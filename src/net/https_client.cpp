#include "net/https_client.h"

#include <algorithm>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "log/enroll_log.h"
#include "log/failure_logger.h"
#include "log/last_error.h"
#include "net/https_transfer.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

constexpr std::uint32_t kHeaderNotFoundCode = 12150;

}  // namespace

CHttpsClient::CHttpsClient(NetworkStep& step) : limits(step.Limits()), step_(step) {
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
    proxies_ = ChooseProxies("https://" + host_ + ":" + std::to_string(port_) + "/");
    connected_ = true;
    return ERR_SUCCESS;
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
                    step_.SetServerMessage(TextForScreen(*message));  // logged whole below
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

namespace {

// Whether a 4xx is the authority's own refusal, worded as it words every answer: a message text
// in plain UTF-8 ("text/plain"), received whole. A front end's page (a gateway's 400, a
// firewall's 403, in HTML or empty) may stand in for an answer after the authority acted. 408
// and 429 only say "later".
bool AuthorityRefusal(const CHttpsClient::Transfer& t) {
    if (t.status < 400 || t.status >= 500 || t.status == 408 || t.status == 429 ||
        t.result != CURLE_OK || t.bodyTooLarge || t.body.empty()) {
        return false;
    }
    std::string type;
    for (const auto& [name, value] : t.responseHeaders) {
        if (name == "content-type") {
            type = Lower(value.substr(0, value.find(';')));
        }
    }
    type.erase(type.find_last_not_of(" \t") + 1);
    const auto text = Utf8ToWide(std::string(t.body.begin(), t.body.end()));
    const std::size_t first = text ? text->find_first_not_of(L" \t\r\n") : std::wstring::npos;
    return type == "text/plain" && first != std::wstring::npos && (*text)[first] != L'<';
}

}  // namespace

CHttpsClient::Delivery CHttpsClient::LastDelivery() const {
    if (!transfer_ || !transfer_->curl) {
        return Delivery::Refused;  // nothing left this program
    }
    const Transfer& t = *transfer_;
    if (t.status == 200) {
        return Delivery::Accepted;
    }
    if (t.status != 0) {
        return AuthorityRefusal(t) ? Delivery::Refused : Delivery::Unknown;
    }
    // Without a secure connection no request went out (asked for a certificate, the client
    // abandons the handshake); a refused certificate stops the server before it reads one.
    return !t.secured || t.certificateRefused ? Delivery::Refused : Delivery::Unknown;
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

std::optional<std::time_t> CHttpsClient::AnswerDate() const {
    if (!transfer_) {
        return std::nullopt;
    }
    for (const auto& [key, value] : transfer_->responseHeaders) {
        if (key == "date") {
            // HTTP dates are GMT; curl reads the three forms a server may send.
            const time_t date = curl_getdate(value.c_str(), nullptr);
            return date > 0 ? std::optional<std::time_t>(date) : std::nullopt;
        }
    }
    return std::nullopt;
}

ErrorId CHttpsClient::GetAcceptedIssuers(std::vector<Bytes>& issuers) {
    LogTag tag("GetAcceptedIssuers");
    if (!transfer_) {
        SetLastSystemError(CURLE_FAILED_INIT, "no request");
        LogFailure();
        return ERR_CONNECTION;
    }
    Log().Write("Query Issuers");
    if (!transfer_->certRequested && transfer_->status == 0 && transfer_->result != CURLE_OK) {
        // No issuer list because no secure connection: that failure is the cause to report.
        LogCurlFailure(transfer_->result, transfer_->errorBuffer);
        return FailureId(*transfer_);
    }
    if (!transfer_->certRequested) {
        SetLastSystemError(CURLE_SSL_CERTPROBLEM, "the server asked for no client certificate");
        LogFailure();
        return ERR_CONNECTION;
    }
    Log().Write("Create Issuers list");
    issuers.insert(issuers.end(), transfer_->caNames.begin(), transfer_->caNames.end());
    return ERR_SUCCESS;
}

}  // namespace qe