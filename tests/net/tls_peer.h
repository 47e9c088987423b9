#pragma once

#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"

namespace qe::test {

// A request's headers, by name.
using HttpRequest = std::multimap<std::string, std::string>;

// An HTTP response with a Content-Length, and `headers` as "Name: value" lines.
std::string HttpReply(int status, const std::string& body,
                      const std::vector<std::string>& headers = {});

// openssl s_server on 127.0.0.1 with the CA's server certificate, started in `dir` with the
// further s_server options given (-HTTP serves the files of `dir`, each a whole response).
// Without -HTTP it prints what it receives and sends what is written to it.
class TlsPeer {
public:
    TlsPeer(const TestPki& pki, const std::vector<std::string>& options,
            const std::string& dir = ".");

    int port() const { return port_; }
    std::string Output() const { return process_->Output(); }
    // Whether it printed `text`, waiting a few seconds for it.
    bool Printed(const std::string& text) {
        return process_->WaitFor(text, ChildProcess::Seconds(5));
    }
    // The whole requests received so far, each by its headers.
    std::vector<HttpRequest> Requests() const;

    // Runs `exchange` on a thread of its own and answers the request it sends, if one arrives,
    // with `reply`; the result of `exchange`.
    template <class F>
    auto Answer(const std::string& reply, F exchange) {
        const std::size_t count = Requests().size() + 1;
        auto result = std::async(std::launch::async, exchange);
        if (WaitForRequest(count, [&result] {
                return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            })) {
            process_->Write(reply);
        }
        return result.get();
    }

private:
    bool WaitForRequest(std::size_t count, const std::function<bool()>& givenUp);

    ScopedDir files_{"tls-peer"};
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

}  // namespace qe::test
