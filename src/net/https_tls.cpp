#include <openssl/x509v3.h>

#include "net/https_transfer.h"
#include "net/tls_key.h"
#include "toolkit/openssl_ptr.h"

// Each transfer's TLS set-up: the server checked by name inside the handshake, the client
// certificate given only when asked for.

namespace qe {
namespace {

// Alerts with which a server refuses the presented certificate: bad_certificate,
// certificate_revoked, certificate_expired, certificate_unknown, unknown_ca, access_denied. An
// expired or revoked certificate is the customer's to hear about, not a network failure.
constexpr int kCertificateRefusals[] = {42, 44, 45, 46, 48, 49};

// Verification results saying the chain reached no trusted root: the certificate came from an
// issuer other than the authority's roots, as an inspecting proxy's does.
constexpr int kForeignChain[] = {
    X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT,
    X509_V_ERR_CERT_SIGNATURE_FAILURE,
    X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
    X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN,
    X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
    X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE,
    X509_V_ERR_CERT_UNTRUSTED,
};

}  // namespace

ErrorId FailureId(const CHttpsClient::Transfer& t) {
    if (t.brokenInTunnel) {
        return ERR_TLS_INSPECTED;
    }
    if (t.result == CURLE_PEER_FAILED_VERIFICATION) {
        for (int error : kForeignChain) {
            if (t.verifyError == error) {
                return ERR_TLS_INSPECTED;
            }
        }
    }
    return ERR_CONNECTION;
}

int CHttpsClient::Transfer::VerifyCallback(int ok, X509_STORE_CTX* store) {
    const auto* ssl = static_cast<const SSL*>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    Transfer* t = ssl != nullptr ? Of(ssl) : nullptr;
    if (ok == 0 && t != nullptr && t->verifyError == 0) {
        t->verifyError = X509_STORE_CTX_get_error(store);
        if (X509* leaf = X509_STORE_CTX_get0_cert(store)) {
            BioPtr text(BIO_new(BIO_s_mem()));
            X509_NAME_print_ex(text.get(), X509_get_issuer_name(leaf), 0, XN_FLAG_ONELINE);
            char* data = nullptr;
            const long size = BIO_get_mem_data(text.get(), &data);
            t->serverIssuer.assign(data, static_cast<std::size_t>(size > 0 ? size : 0));
        }
    }
    return ok;  // only observes: the verdict is OpenSSL's
}

int CHttpsClient::Transfer::ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** key) {
    Transfer* t = Of(ssl);
    if (t == nullptr) {
        return 0;
    }
    t->certRequested = true;
    t->caNames.clear();
    if (const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(ssl)) {
        for (int i = 0; i < sk_X509_NAME_num(names); ++i) {
            unsigned char* der = nullptr;
            const int n = i2d_X509_NAME(sk_X509_NAME_value(names, i), &der);
            if (n > 0) {
                t->caNames.emplace_back(der, der + n);
            }
            OPENSSL_free(der);
        }
    }
    if (!t->certificate) {
        return -1;  // abandon the handshake: the caller retries with a certificate
    }
    const Bytes& der = t->certificate->CertificateDer();
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    PkeyPtr pkey = cert ? MakeTlsClientKey(*t->certificate, cert.get()) : nullptr;
    if (!pkey) {
        return 0;
    }
    *x509 = cert.release();
    *key = pkey.release();
    return 1;
}

void CHttpsClient::Transfer::InfoCallback(const SSL* ssl, int where, int ret) {
    Transfer* t = Of(ssl);
    if (t == nullptr) {
        return;
    }
    if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT) {
        for (int refusal : kCertificateRefusals) {
            t->certificateRefused = t->certificateRefused || (ret & 0xFF) == refusal;
        }
    }
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0) {
        t->tlsVersion = SSL_get_version(ssl);
    }
}

CURLcode CHttpsClient::Transfer::SslContextCallback(CURL*, void* sslContext, void* data) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* t = static_cast<Transfer*>(data);
    SSL_CTX_set_app_data(ctx, t);
    // The server's name is part of the chain check, so a server with a certificate for another
    // name fails the handshake before the client certificate is asked for (or signed).
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, t->host.c_str()) != 1 &&
        X509_VERIFY_PARAM_set1_host(param, t->host.c_str(), 0) != 1) {
        return CURLE_SSL_CONNECT_ERROR;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_keylog_callback(ctx, nullptr);
    SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
    SSL_CTX_set_info_callback(ctx, InfoCallback);
    // A resumed session would skip the certificate request the retry depends on.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (t->capToTls12 &&
        (SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1 ||
         SSL_CTX_set1_client_sigalgs_list(ctx, "RSA+SHA256:RSA+SHA384:RSA+SHA512") != 1)) {
        return CURLE_SSL_CERTPROBLEM;
    }
    return CURLE_OK;
}

}  // namespace qe
