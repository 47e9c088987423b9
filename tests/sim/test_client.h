#pragma once

#include <csignal>
#include <optional>
#include <string>

#include <httplib.h>

namespace qe::test {

struct HttpOptions {
    std::string caFile{};      // https, the server's certificate verified against it; else http
    std::string clientCert{};  // PEM files of a client certificate and its key
    std::string clientKey{};
    httplib::Headers headers{};
};

struct HttpResult {
    int status = 0;  // 0 when no answer came
    std::string body;
    httplib::Headers headers;

    // The header's value; empty when the answer had none.
    std::string Header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

// One GET to host:port, or a POST of `body` when there is one.
inline HttpResult HttpFetch(const std::string& hostPort, const std::string& target,
                            const HttpOptions& options = {},
                            const std::optional<std::string>& body = std::nullopt) {
    // A server that refuses a body before reading it closes the socket under the writer.
    std::signal(SIGPIPE, SIG_IGN);
    httplib::Client client((options.caFile.empty() ? "http://" : "https://") + hostPort,
                           options.clientCert, options.clientKey);
    if (!options.caFile.empty()) {
        client.set_ca_cert_path(options.caFile);
    }
    const httplib::Result answer =
        body ? client.Post(target, options.headers, *body, "application/octet-stream")
             : client.Get(target, options.headers);
    return answer ? HttpResult{answer->status, answer->body, answer->headers} : HttpResult{};
}

}  // namespace qe::test
