#include "tls_test_server.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include <arpa/inet.h>
#include <httplib.h>
#include <unistd.h>

namespace qe::test {
namespace {

// Reject an untrusted client certificate with alert certificate_unknown, as the authority does
// (OpenSSL sends that alert for verification errors it has no closer alert for), or every one
// with the alert the test chose, written in clear ahead of OpenSSL's own.
int VerifyClient(int preverifyOk, X509_STORE_CTX* ctx) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto alert = reinterpret_cast<std::intptr_t>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (alert != 0) {
        const unsigned char record[] = {21, 3, 3, 0, 2, 2, static_cast<unsigned char>(alert)};
        [[maybe_unused]] const ssize_t written = write(SSL_get_fd(ssl), record, sizeof record);
        return 0;
    }
    if (preverifyOk == 1) {
        return 1;
    }
    X509_STORE_CTX_set_error(ctx, X509_V_ERR_SUBJECT_ISSUER_MISMATCH);
    return 0;
}

}  // namespace

TlsTestServer::TlsTestServer(const TestPki& pki, Options options) {
    server_ = std::make_unique<httplib::SSLServer>([&pki, options](SSL_CTX& ctx) {
        if (SSL_CTX_use_certificate(&ctx, pki.serverCert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(&ctx, pki.serverKey.get()) != 1) {
            return false;
        }
        SSL_CTX_set_app_data(&ctx, reinterpret_cast<void*>(std::intptr_t{options.refusalAlert}));
        // Takes HTTP/2 when the client offers it, as the authority's front end may, although
        // this server speaks HTTP/1.1 only.
        SSL_CTX_set_alpn_select_cb(
            &ctx,
            [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned inLength, void*) {
                static const unsigned char kH2[] = {2, 'h', '2'};
                return SSL_select_next_proto(const_cast<unsigned char**>(out), outLength, kH2,
                                             sizeof kH2, in, inLength) == OPENSSL_NPN_NEGOTIATED
                           ? SSL_TLSEXT_ERR_OK
                           : SSL_TLSEXT_ERR_NOACK;
            },
            nullptr);
        if (options.version != 0) {
            SSL_CTX_set_min_proto_version(&ctx, options.version);
            SSL_CTX_set_max_proto_version(&ctx, options.version);
        }
        if (options.requireClientCert) {
            const X509* ca = options.clientCa != nullptr ? options.clientCa : pki.caCert.get();
            X509_STORE* store = SSL_CTX_get_cert_store(&ctx);
            X509_STORE_add_cert(store, const_cast<X509*>(ca));
            STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
            sk_X509_NAME_push(names, X509_NAME_dup(X509_get_subject_name(ca)));
            SSL_CTX_set_client_CA_list(&ctx, names);
            SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               VerifyClient);
        }
        return true;
    });
    if (!server_->is_valid()) {
        throw std::runtime_error("test server set-up failed");
    }
    server_->set_keep_alive_timeout(1);
    const auto handle = [this](const httplib::Request& req, httplib::Response& res) {
        RecordedRequest r{
            req.method, req.target, req.body, {req.headers.begin(), req.headers.end()}, {}};
        if (req.ssl != nullptr) {
            if (X509* peer = SSL_get1_peer_certificate(req.ssl)) {
                char cn[256] = {};
                X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn,
                                          sizeof cn);
                r.peerCommonName = cn;
                X509_free(peer);
            }
        }
        Reply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            if (handler_) {
                reply = handler_(r);
            }
        }
        res.status = reply.status;
        for (const auto& [k, v] : reply.headers) {
            res.set_header(k, v);
        }
        res.set_content(reply.body, reply.contentType.c_str());
    };
    server_->Get(".*", handle);
    server_->Post(".*", handle);
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TlsTestServer::~TlsTestServer() {
    server_->stop();
    thread_.join();
}

std::string ReceiveRequestHead(const TestPki& pki, const std::function<void(int port)>& send) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, pki.serverCert.get());
    SSL_CTX_use_PrivateKey(ctx, pki.serverKey.get());
    BioPtr acceptor(BIO_new_accept("127.0.0.1:0"));
    BIO_set_accept_bios(acceptor.get(), BIO_new_ssl(ctx, 0));
    SSL_CTX_free(ctx);  // each connection's SSL holds its own reference
    int fd = -1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (BIO_do_accept(acceptor.get()) != 1 || BIO_get_fd(acceptor.get(), &fd) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen");
    }
    std::thread client(send, ntohs(address.sin_port));
    std::string head;
    if (BIO_do_accept(acceptor.get()) == 1) {
        BioPtr connection(BIO_pop(acceptor.get()));
        char c = 0;
        while (head.find("\r\n\r\n") == std::string::npos &&
               BIO_read(connection.get(), &c, 1) == 1) {
            head += c;
        }
        BIO_puts(connection.get(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        BIO_flush(connection.get());
    }
    client.join();
    return head;
}

}  // namespace qe::test
