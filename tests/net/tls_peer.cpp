#include "tls_peer.h"

#include <openssl/pem.h>

#include <regex>
#include <stdexcept>

namespace qe::test {
namespace {

std::vector<HttpRequest> ParseRequests(const std::string& text) {
    static const std::regex start("(GET|POST) /\\S* HTTP/1\\.1\r\n");
    static const std::regex header("([^:\r\n]+): *([^\r\n]*)\r\n");
    std::vector<HttpRequest> found;
    for (std::sregex_iterator it(text.begin(), text.end(), start), end; it != end; ++it) {
        const std::size_t from = static_cast<std::size_t>(it->position() + it->length());
        const std::size_t headEnd = text.find("\r\n\r\n", from - 2);
        if (headEnd == std::string::npos) {
            break;
        }
        HttpRequest r;
        const std::string head = text.substr(from, headEnd + 2 - from);
        for (std::sregex_iterator h(head.begin(), head.end(), header), none; h != none; ++h) {
            r.emplace(h->str(1), h->str(2));
        }
        const auto declared = r.find("Content-Length");
        const std::size_t length = declared != r.end() ? std::stoul(declared->second) : 0;
        if (text.size() < headEnd + 4 + length) {
            break;
        }
        found.push_back(std::move(r));
    }
    return found;
}

}  // namespace

std::string HttpReply(int status, const std::string& body,
                      const std::vector<std::string>& headers) {
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
    for (const std::string& h : headers) {
        reply += h + "\r\n";
    }
    return reply + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TlsPeer::TlsPeer(const TestPki& pki, const std::vector<std::string>& options,
                 const std::string& dir) {
    const std::string pem = files_ / "server.pem";
    {
        BioPtr out(BIO_new_file(pem.c_str(), "w"));
        if (!out || PEM_write_bio_X509(out.get(), pki.serverCert.get()) != 1 ||
            PEM_write_bio_PrivateKey(out.get(), pki.serverKey.get(), nullptr, nullptr, 0, nullptr,
                                     nullptr) != 1) {
            throw std::runtime_error("cannot write " + pem);
        }
    }
    // A server that prefers HTTP/2 when the client offers it.
    std::vector<std::string> argv{"openssl", "s_server", "-accept", "127.0.0.1:0",
                                  "-cert",   pem,        "-alpn",   "h2,http/1.1"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(argv, dir);
    static const std::regex ready("ACCEPT 127\\.0\\.0\\.1:(\\d+)\n");
    process_->WaitUntil([](const std::string& out) { return std::regex_search(out, ready); });
    const std::string out = process_->Output();
    std::smatch m;
    if (!std::regex_search(out, m, ready)) {
        throw std::runtime_error("s_server did not start: " + out);
    }
    port_ = std::stoi(m[1]);
}

std::vector<HttpRequest> TlsPeer::Requests() const {
    return ParseRequests(Output());
}

bool TlsPeer::WaitForRequest(std::size_t count, const std::function<bool()>& givenUp) {
    bool arrived = false;
    process_->WaitUntil([&](const std::string& out) {
        arrived = ParseRequests(out).size() >= count;
        return arrived || givenUp();
    });
    return arrived;
}

}  // namespace qe::test
