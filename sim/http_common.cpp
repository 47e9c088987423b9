#include "sim/http_common.h"

#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>

#include <sys/socket.h>

#include "sim/header_blocks.h"

namespace qe::sim {
namespace {

// Keeps a line one line: control bytes (a CR or LF in a header value among them) are shown as
// \xHH; UTF-8 passes unchanged.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

const char* DefaultErrorText(int status) {
    switch (status) {
        case 400:
            return "Cererea nu este validă.";
        case 404:
            return "Resursa cerută nu există pe acest server.";
        case 405:
            return "Metoda cererii nu este acceptată pentru această resursă.";
        case 413:
            return "Conținutul cererii este prea mare.";
        case 414:
            return "Adresa cerută este prea lungă.";
        default:
            return status >= 500 ? "Eroare internă a serverului."
                                 : "Cererea nu a putut fi servită.";
    }
}

bool HasBody(const httplib::Request& request) {
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") &&
            request.get_header_value("Content-Length") != "0");
}

// Answers before the body is read; the rest of it is not read, so the connection must end.
void RefuseUnread(httplib::Response& response, int status, const std::string& text) {
    AnswerText(response, status, text);
    response.set_header("Connection", "close");
}

bool Forced(SimContext& context, const httplib::Request& request, httplib::Response& response) {
    const Scenario scenario = context.scenario.Get();
    if (!scenario.forced) {
        return false;
    }
    const ForcedAnswer& forced = *scenario.forced;
    if ((!forced.method.empty() && forced.method != request.method) ||
        !TargetMatches(forced.path, request.path, request.target)) {
        return false;
    }
    AnswerText(response, forced.status, forced.body);
    for (const auto& [name, value] : forced.headers) {
        response.set_header(name, value);
    }
    return true;
}

}  // namespace

void LogLine(const std::string& line) {
    static std::mutex logMutex;
    std::lock_guard lock(logMutex);
    std::fputs((line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

std::string RequestLogLine(const std::string& listenerName, const httplib::Request& request,
                           const httplib::Response& response) {
    std::string line = listenerName + " " + Printable(request.method) + " " +
                       Printable(request.target) + " " + std::to_string(response.status);
    for (const auto& [name, value] : EnrollHeaders(request)) {
        line += " " + Printable(name) + "=" + Printable(value);
    }
    return line;
}

void AnswerText(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text, "text/plain; charset=utf-8");
}

void AnswerBytes(httplib::Response& response, const Bytes& body) {
    response.status = 200;
    response.set_content(std::string(body.begin(), body.end()), "application/octet-stream");
}

Routes::Routes(httplib::Server& server, SimContext& context, std::string listenerName,
               bool forcedAnswers)
    : server_(server),
      context_(context),
      forcedAnswers_(forcedAnswers),
      postPaths_(std::make_shared<std::set<std::string>>()) {
    // The library's default adds SO_REUSEPORT, which lets a second server take a port that is in
    // use; a fixed port must be ours alone.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_payload_max_length(kMaxBodySize);
    server_.set_keep_alive_timeout(1);
    // Answers go out at once instead of waiting for the client's delayed acknowledgement.
    server_.set_tcp_nodelay(true);
    server_.set_read_timeout(5, 0);
    server_.set_write_timeout(5, 0);

    NetworkFaults* network = &context.network;
    server_.set_logger([listenerName, network](const httplib::Request& request,
                                               const httplib::Response& response) {
        LogLine(RequestLogLine(listenerName, request, response));
        network->Record(listenerName, request, response.status);
    });
    // A fault that lets the authority act comes after the handler, in place of its answer.
    server_.set_post_routing_handler(
        [listenerName, network, &context](const httplib::Request& request,
                                          httplib::Response& response) {
            // The authority's clock, which a scenario may set apart from the computer's.
            const std::time_t now = std::time(nullptr) + context.scenario.Get().clockOffset;
            std::tm gmt{};
            char date[40];
            std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&now, &gmt));
            response.set_header("Date", date);
            const FaultKind fault = network->FaultFor(listenerName, request);
            if (fault == FaultKind::Gateway) {
                response.status = 502;
                response.set_content(
                    "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n<center>"
                    "<h1>502 Bad Gateway</h1></center>\r\n</body>\r\n</html>\r\n",
                    "text/html");
            } else if (fault == FaultKind::Frontend) {
                response.status = 400;
                response.set_content(
                    "<html>\r\n<head><title>400 Bad Request</title></head>\r\n<body>\r\n"
                    "<center><h1>400 Bad Request</h1></center>\r\n</body>\r\n</html>\r\n",
                    "text/html");
            } else if (fault == FaultKind::Lost) {
                LogLine(listenerName +
                        " answer lost: " + RequestLogLine(listenerName, request, response));
                NetworkFaults::Disrupt(fault, request);
            }
        });

    // Decided before the library reads any body: only the POST paths read one, bounded.
    server_.set_pre_routing_handler([postPaths = postPaths_, listenerName, network](
                                        const httplib::Request& request,
                                        httplib::Response& response) {
        if (const FaultKind fault = network->FaultFor(listenerName, request);
            fault == FaultKind::Reset || fault == FaultKind::Silent) {
            LogLine(listenerName + " request dropped: " + request.method + " " + request.target);
            NetworkFaults::Disrupt(fault, request);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (request.method == "POST") {
            if (postPaths->count(request.path) == 0) {
                RefuseUnread(response, 404, DefaultErrorText(404));
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        }
        if (HasBody(request)) {
            RefuseUnread(response, 400, "Această cerere nu poate avea conținut.");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server_.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            AnswerText(response, response.status, DefaultErrorText(response.status));
            return httplib::Server::HandlerResponse::Handled;
        }));

    server_.set_exception_handler([listenerName](const httplib::Request&,
                                                 httplib::Response& response,
                                                 std::exception_ptr failure) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        LogLine(listenerName + " handler failed: " + what);
        AnswerText(response, 500, "Eroare internă a serverului.");
    });
}

void Routes::Get(const std::string& path, RouteHandler handler) {
    server_.Get(path, [&context = context_, forced = forcedAnswers_, handler = std::move(handler)](
                          const httplib::Request& request, httplib::Response& response) {
        if (!forced || !Forced(context, request, response)) {
            handler(request, std::string(), response);
        }
    });
}

void Routes::Post(const std::string& path, RouteHandler handler) {
    postPaths_->insert(path);
    server_.Post(path, [&context = context_, forced = forcedAnswers_, handler = std::move(handler)](
                           const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
        std::string body;
        bool tooLarge = false;
        const bool complete = reader([&](const char* data, std::size_t size) {
            if (body.size() + size > kMaxBodySize) {
                tooLarge = true;
                return false;
            }
            body.append(data, size);
            return true;
        });
        // The library refuses a declared length above the limit itself, with 413.
        if (tooLarge || response.status == 413) {
            RefuseUnread(response, 413, DefaultErrorText(413));
            return;
        }
        if (!complete) {
            RefuseUnread(response, 400, "Conținutul cererii nu a putut fi citit.");
            return;
        }
        if (!forced || !Forced(context, request, response)) {
            handler(request, body, response);
        }
    });
}

std::optional<std::string> IdentifyOrder(SimContext& context, const httplib::Request& request,
                                         httplib::Response& response, HeaderBlockReader readBlock) {
    std::string tokenHash;
    if (std::string refusal = readBlock(request, tokenHash); !refusal.empty()) {
        AnswerText(response, 400, refusal);
        return std::nullopt;
    }
    const HeaderLines headers = EnrollHeaders(request);
    context.orders.Update([&](OrderState& state) {
        auto order = state.orders.find(tokenHash);
        if (order == state.orders.end() || order->second.lastHeaders == headers) {
            return false;
        }
        order->second.lastHeaders = headers;
        return true;
    });
    return tokenHash;
}

}  // namespace qe::sim
