#include "sim/test_client.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

namespace qe::test {
namespace {

using CurlPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using SlistPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(user);
    const std::string line(data, size * count);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        const std::size_t first = value.find_first_not_of(" \t\r\n");
        const std::size_t last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
        (*headers)[name] = value;
    }
    return size * count;
}

}  // namespace

std::string HttpResult::Header(const std::string& lowerName) const {
    const auto it = headers.find(lowerName);
    return it == headers.end() ? "(absent)" : it->second;
}

HttpResult HttpFetch(const std::string& url, const HttpOptions& options) {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    HttpResult result;
    CurlPtr curl(curl_easy_init(), curl_easy_cleanup);
    SlistPtr headers(nullptr, curl_slist_free_all);
    for (const std::string& header : options.headers) {
        // "Name:" alone would remove the header; "Name;" sends it with an empty value.
        const bool emptyValue = header.back() == ' ' || header.back() == ':';
        const std::string line = emptyValue ? header.substr(0, header.find(':')) + ";" : header;
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &result.headers);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    if (options.method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, options.body.data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(options.body.size()));
    }
    if (!options.caFile.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, options.caFile.c_str());
    }
    if (!options.clientCert.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_SSLCERT, options.clientCert.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_SSLKEY, options.clientKey.c_str());
    }
    if (options.tls12Only) {
        curl_easy_setopt(curl.get(), CURLOPT_SSLVERSION,
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2) |
                             static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    }
    result.code = curl_easy_perform(curl.get());
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.status);
    if (result.code != CURLE_OK) {
        result.error = error[0] != '\0' ? error : curl_easy_strerror(result.code);
    }
    return result;
}

std::vector<std::string> TokenHashHeaders(const std::string& tokenHash) {
    return {"ENROLL_VERSION: 2.7.23", "ENROLL_LANG: RO", "TOKEN_HASH: " + tokenHash};
}

std::vector<std::string> TokenDescriptionHeaders(const std::string& serial,
                                                 const std::string& manufacturer,
                                                 const std::string& model,
                                                 const std::string& productName) {
    return {"ENROLL_VERSION: 2.7.23",  "ENROLL_LANG: RO",
            "TOKEN_SERIAL: " + serial, "TOKEN_MANUFACTURER: " + manufacturer,
            "TOKEN_MODEL: " + model,   "TOKEN_PRODUCT_NAME: " + productName};
}

}  // namespace qe::test
