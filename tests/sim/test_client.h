#pragma once

#include <map>
#include <string>
#include <vector>

#include <curl/curl.h>

namespace qe::test {

struct HttpOptions {
    std::string method = "GET";  // GET, or POST with `body`
    std::string body;
    std::vector<std::string> headers;  // "Name: value"
    std::string caFile;                // CA bundle for https
    std::string clientCert;            // PEM files of a client certificate and its key
    std::string clientKey;
    bool tls12Only = false;
};

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string error;                           // curl's message when code is not CURLE_OK

    // The header's value, or "(absent)" when the answer had none.
    std::string Header(const std::string& lowerName) const;
};

// One request with libcurl, server certificate verified against `caFile`.
HttpResult HttpFetch(const std::string& url, const HttpOptions& options = {});

// The token-hash header block as request headers.
std::vector<std::string> TokenHashHeaders(const std::string& tokenHash);

// The token-description header block as request headers.
std::vector<std::string> TokenDescriptionHeaders(const std::string& serial,
                                                 const std::string& manufacturer,
                                                 const std::string& model,
                                                 const std::string& productName);

}  // namespace qe::test
