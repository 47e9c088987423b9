#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <httplib.h>

#include "sim/sim_context.h"
#include "toolkit/bytes.h"

namespace qe::sim {

// The largest request body any path accepts: a request, a signature or a certificate is a few
// kilobytes; a scenario a little more.
inline constexpr std::size_t kMaxBodySize = 64 * 1024;

using RouteHandler =
    std::function<void(const httplib::Request&, const std::string& body, httplib::Response&)>;

// Registers the paths of one listener and the behaviour they share: one log line per request on
// standard error, Romanian text for errors without a body, no crash on a throwing handler, the
// scenario's forced answer before the normal one, bodies read only by POST paths and only up to
// kMaxBodySize, and short time-outs so that stopping is quick. The handlers keep no reference
// to the Routes object; `context` must outlive the server.
class Routes {
public:
    // `forcedAnswers`: whether the scenario's forced answer applies to this listener's paths.
    Routes(httplib::Server& server, SimContext& context, std::string listenerName,
           bool forcedAnswers = true);

    void Get(const std::string& path, RouteHandler handler);
    void Post(const std::string& path, RouteHandler handler);

private:
    httplib::Server& server_;
    SimContext& context_;
    const bool forcedAnswers_;
    std::shared_ptr<std::set<std::string>> postPaths_;
};

void AnswerText(httplib::Response& response, int status, const std::string& text);
void AnswerBytes(httplib::Response& response, const Bytes& body);

// The request's log line: listener, method, target, status and the ENROLL_*/TOKEN_* values.
std::string RequestLogLine(const std::string& listenerName, const httplib::Request& request,
                           const httplib::Response& response);

// One line on standard error, whole.
void LogLine(const std::string& line);

// Reads a request's header block with `readBlock` (token-hash or token-description form) and
// remembers it on the token's order. Answers the refusal itself (400) and returns nothing when
// the block is missing or malformed; otherwise returns the token hash.
using HeaderBlockReader = std::string (*)(const httplib::Request&, std::string& tokenHash);
std::optional<std::string> IdentifyOrder(SimContext& context, const httplib::Request& request,
                                         httplib::Response& response, HeaderBlockReader readBlock);

}  // namespace qe::sim
