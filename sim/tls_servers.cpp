#include "sim/tls_servers.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "sim/cert_util.h"
#include "sim/http_common.h"

namespace qe::sim {
namespace {

bool UseServerCertificate(SSL_CTX& ctx, const Pki& pki) {
    return SSL_CTX_use_certificate(&ctx, pki.tlsCertificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(&ctx, pki.tlsKey.get()) == 1 &&
           SSL_CTX_check_private_key(&ctx) == 1 &&
           SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) == 1;
}

// Replaces OpenSSL's chain check so that a refusal always carries certificate_unknown: OpenSSL
// picks the alert from the verification error, and an error of X509_V_OK maps to that alert.
int VerifyClientChain(X509_STORE_CTX* storeCtx, void*) {
    const int ok = X509_verify_cert(storeCtx);
    if (ok == 1) {
        return 1;
    }
    const int error = X509_STORE_CTX_get_error(storeCtx);
    X509* presented = X509_STORE_CTX_get0_cert(storeCtx);
    LogLine(std::string("rekey TLS refused the client certificate ") +
            (presented != nullptr ? NameLine(X509_get_subject_name(presented)) : "(none)") + ": " +
            X509_verify_cert_error_string(error));
    X509_STORE_CTX_set_error(storeCtx, X509_V_OK);
    return 0;
}

bool RequireClientCertificate(SSL_CTX& ctx, const Pki& pki) {
    // Only the issuing CA is trusted, on its own: a certificate the root signed directly does not
    // chain to it.
    X509_STORE* store = SSL_CTX_get_cert_store(&ctx);
    if (X509_STORE_add_cert(store, pki.issuingCa.get()) != 1 ||
        X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(&ctx), X509_V_FLAG_PARTIAL_CHAIN) != 1) {
        return false;
    }
    STACK_OF(X509_NAME)* acceptable = sk_X509_NAME_new_null();
    X509_NAME* issuingName = X509_NAME_dup(X509_get_subject_name(pki.issuingCa.get()));
    if (acceptable == nullptr || issuingName == nullptr ||
        sk_X509_NAME_push(acceptable, issuingName) == 0) {
        X509_NAME_free(issuingName);
        sk_X509_NAME_pop_free(acceptable, X509_NAME_free);
        return false;
    }
    SSL_CTX_set_client_CA_list(&ctx, acceptable);  // takes ownership
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_cert_verify_callback(&ctx, VerifyClientChain, nullptr);

    // A resumed session skips the certificate request; the wizard's first probe relies on it.
    static const unsigned char kSessionContext[] = "quorvane-rekey";
    SSL_CTX_set_session_cache_mode(&ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(&ctx, SSL_OP_NO_TICKET);
    return SSL_CTX_set_num_tickets(&ctx, 0) == 1 &&
           SSL_CTX_set_session_id_context(&ctx, kSessionContext, sizeof kSessionContext - 1) == 1;
}

// Numbers each connection of the listener as its handshake begins; a refused one ends there.
template <const char* Listener>
int CountConnection(SSL* ssl, int*, void* network) {
    static_cast<NetworkFaults*>(network)->Connected(Listener, ssl);
    return SSL_CLIENT_HELLO_SUCCESS;
}
constexpr char kApi[] = "api";
constexpr char kRekey[] = "rekey";

std::unique_ptr<httplib::SSLServer> Checked(std::unique_ptr<httplib::SSLServer> server) {
    return server->is_valid() ? std::move(server) : nullptr;
}

}  // namespace

std::unique_ptr<httplib::SSLServer> MakeApiServer(const Pki& pki, NetworkFaults& network) {
    return Checked(std::make_unique<httplib::SSLServer>([&pki, &network](SSL_CTX& ctx) {
        SSL_CTX_set_client_hello_cb(&ctx, CountConnection<kApi>, &network);
        return UseServerCertificate(ctx, pki);
    }));
}

std::unique_ptr<httplib::SSLServer> MakeRekeyServer(const Pki& pki, NetworkFaults& network) {
    return Checked(std::make_unique<httplib::SSLServer>([&pki, &network](SSL_CTX& ctx) {
        SSL_CTX_set_client_hello_cb(&ctx, CountConnection<kRekey>, &network);
        return UseServerCertificate(ctx, pki) && RequireClientCertificate(ctx, pki);
    }));
}

}  // namespace qe::sim
