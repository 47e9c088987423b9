#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_pki.h"

namespace httplib {
class SSLServer;
}

namespace qe::test {

struct RecordedRequest {
    std::string method;
    std::string path;  // with the query
    std::string body;
    std::multimap<std::string, std::string> headers;
    std::string peerCommonName;  // of the client certificate, when one was presented
};

struct Reply {
    int status = 200;
    std::string body = {};
    std::vector<std::pair<std::string, std::string>> headers = {};
    std::string contentType = "text/plain";
};

// An HTTPS server on 127.0.0.1 with an ephemeral port, running on its own thread.
class TlsTestServer {
public:
    struct Options {
        bool requireClientCert = false;
        const X509* clientCa = nullptr;  // trusted for client certificates and named in the request
        int version = 0;                 // the only one spoken, e.g. TLS1_2_VERSION; 0: any
        int refusalAlert = 0;  // refuse every client certificate with this alert (TLS 1.2 only)
    };

    TlsTestServer(const TestPki& pki, Options options);
    ~TlsTestServer();

    int port() const { return port_; }
    // Every path answers with the reply returned by `handler` for the request.
    void SetHandler(std::function<Reply(const RecordedRequest&)> handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    std::vector<RecordedRequest> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::function<Reply(const RecordedRequest&)> handler_;
    std::vector<RecordedRequest> requests_;
};

// Accepts one TLS connection on 127.0.0.1 while `send` runs with the port, and returns the head of
// the request exactly as it came (an HTTP library would drop a header line without a value). The
// answer is a 200 with an empty body.
std::string ReceiveRequestHead(const TestPki& pki, const std::function<void(int port)>& send);

}  // namespace qe::test
