#include "net/https_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include <openssl/err.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>

#include "support/connect_proxy.h"
#include "support/scoped_dir.h"
#include "test_pki.h"
#include "tls_test_server.h"

namespace qe {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::TlsTestServer;
using ::testing::HasSubstr;

// A client certificate whose key is a software key: stands in for the token here.
class SoftwareCertificate : public ClientCertificate {
public:
    SoftwareCertificate(Bytes der, EVP_PKEY* key, bool raw = true)
        : der_(std::move(der)), key_(key), raw_(raw) {}
    const Bytes& CertificateDer() const override { return der_; }
    bool CanSignRaw() override { return raw_; }
    int SignRaw(const Bytes& block, Bytes& signature) override {
        ++rawCalls;
        return Sign(block, RSA_NO_PADDING, signature);
    }
    int SignDigestInfo(const Bytes& digestInfo, Bytes& signature) override {
        ++pkcs1Calls;
        return failWith != 0 ? failWith : Sign(digestInfo, RSA_PKCS1_PADDING, signature);
    }
    bool Cancelled() const override { return cancelled; }

    int rawCalls = 0;
    int pkcs1Calls = 0;
    int failWith = 0;
    bool cancelled = false;

private:
    int Sign(const Bytes& in, int padding, Bytes& out) {
        if (failWith != 0) {
            return failWith;
        }
        PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key_, nullptr));
        std::size_t size = 0;
        EVP_PKEY_sign_init(ctx.get());
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding);
        EVP_PKEY_sign(ctx.get(), nullptr, &size, in.data(), in.size());
        out.resize(size);
        return EVP_PKEY_sign(ctx.get(), out.data(), &size, in.data(), in.size()) == 1 ? 0 : 1;
    }
    Bytes der_;
    EVP_PKEY* key_;
    bool raw_;
};

class HttpsClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_ = test::TestPki::Create(dir_.path());
        setenv("SSL_CERT_FILE", pki_.caFile.c_str(), 1);
        ClearAcceptedIssuers();
        SetServerMessage(L"");
    }

    ErrorId Get(CHttpsClient& client, const TlsTestServer& server, const std::wstring& path,
                Bytes& body, ClientCertificate* cert = nullptr) {
        if (ErrorId rc = client.Connect(L"localhost", static_cast<std::uint16_t>(server.port()));
            rc != 0) {
            return rc;
        }
        if (ErrorId rc = client.SendRequest(path, nullptr, cert); rc != 0) {
            return rc;
        }
        return client.ReceiveResponse(body);
    }

    test::ScopedDir dir_{"https"};
    test::TestPki pki_;
};

TEST_F(HttpsClientTest, GetSendsHeaderBlockAndReadsHeaders) {
    TlsTestServer server(pki_, {});
    server.SetHandler([](const RecordedRequest&) {
        return Reply{200,
                     "Aveți un certificat",
                     {{"pkcs10", "0A B1"}, {"Ask4DN", "1"}, {"note", "Comand\xE3"}}};
    });
    const char* keyLog = std::getenv("SSLKEYLOGFILE");  // set for this test program
    test::WriteFile(keyLog, "");
    CHttpsClient client;
    client.headerBlock = L"ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO\nTOKEN_HASH: abc\n";
    Bytes body;
    ASSERT_EQ(Get(client, server, L"/public/rest/certificate/status?serial=01", body), 0);
    EXPECT_EQ(ToString(body), "Aveți un certificat");
    std::wstring header = L"PKCS10";  // header names are case-insensitive
    EXPECT_EQ(client.QueryHeader(header), 0);
    EXPECT_EQ(header, L"0A B1");
    header = L"install";
    EXPECT_EQ(client.QueryHeader(header), 0);
    EXPECT_EQ(header, L"");
    header = L"note";  // not UTF-8: Latin-1
    EXPECT_EQ(client.QueryHeader(header), 0);
    EXPECT_EQ(header, L"Comand\u00E3");
    EXPECT_EQ(test::ReadFile(keyLog), "");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/public/rest/certificate/status?serial=01");
    EXPECT_EQ(requests[0].headers.find("TOKEN_HASH")->second, "abc");
    EXPECT_EQ(requests[0].headers.find("ENROLL_LANG")->second, "RO");
    EXPECT_EQ(requests[0].headers.find("Accept")->second, "text/plain");
    EXPECT_THAT(requests[0].headers.find("User-Agent")->second, HasSubstr("Chrome/60.0.3112.113"));
}

TEST_F(HttpsClientTest, EmptyHeaderValuesReachTheWire) {
    CHttpsClient client;
    client.headerBlock = L"TOKEN_SERIAL: 1A\nTOKEN_MODEL: \nTOKEN_PRODUCT_NAME: ";
    const std::string head = test::ReceiveRequestHead(pki_, [&client](int port) {
        client.Connect(L"localhost", static_cast<std::uint16_t>(port));
        client.SendRequest(L"/", nullptr, nullptr);
    });
    EXPECT_THAT(head, HasSubstr("\r\nTOKEN_SERIAL: 1A\r\nTOKEN_MODEL:\r\nTOKEN_PRODUCT_NAME:\r\n"));
}

TEST_F(HttpsClientTest, EmptyBodyIsGetAnyBodyIsPost) {
    TlsTestServer server(pki_, {});
    CHttpsClient client;
    ASSERT_EQ(client.Connect(L"localhost", static_cast<std::uint16_t>(server.port())), 0);
    const Bytes empty;
    const Bytes one{'x'};
    Bytes answer;
    ASSERT_EQ(client.SendRequest(L"/a", &empty, nullptr), 0);
    ASSERT_EQ(client.ReceiveResponse(answer), 0);
    ASSERT_EQ(client.SendRequest(L"/b", &one, nullptr), 0);
    ASSERT_EQ(client.ReceiveResponse(answer), 0);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "x");
    EXPECT_EQ(requests[1].headers.count("Content-Type"), 0u);
}

TEST_F(HttpsClientTest, StatusAndBodyMapping) {
    TlsTestServer server(pki_, {});
    server.SetHandler([](const RecordedRequest& r) -> Reply {
        if (r.path == "/500")
            return {500, "Comanda nu există"};
        if (r.path == "/502")
            return {502, "<html><body>gateway</body></html>", {}, "text/html"};
        if (r.path == "/HTML")
            return {500, "<HTML>upper</HTML>"};
        if (r.path == "/404")
            return {404, ""};
        if (r.path == "/latin1")
            return {500, "Comand\xE3"};
        return {200, ""};
    });
    CHttpsClient client;
    Bytes body{1, 2, 3};
    EXPECT_EQ(Get(client, server, L"/ok", body), 0);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(Get(client, server, L"/500", body), ERR_SERVER);
    EXPECT_EQ(ServerMessage(), L"Comanda nu există");
    EXPECT_EQ(Get(client, server, L"/502", body), ERR_BAD_RESPONSE);
    EXPECT_EQ(ServerMessage(), L"<html><body>gateway</body></html>");
    EXPECT_EQ(Get(client, server, L"/HTML", body), ERR_SERVER);
    EXPECT_EQ(Get(client, server, L"/latin1", body), ERR_BAD_RESPONSE);
    EXPECT_EQ(ServerMessage(), L"");  // a message belongs to one request
    EXPECT_EQ(Get(client, server, L"/404", body), ERR_SERVER);
    EXPECT_EQ(ServerMessage(), L"");
}

TEST_F(HttpsClientTest, NothingToReadWithoutARequest) {
    CHttpsClient client;
    Bytes body;
    std::wstring header = L"pkcs10";
    EXPECT_EQ(client.ReceiveResponse(body), ERR_CONNECTION);
    EXPECT_EQ(client.QueryHeader(header), ERR_CONNECTION);
    EXPECT_EQ(client.GetAcceptedIssuers(), ERR_CONNECTION);
    EXPECT_EQ(client.SendRequest(L"/", nullptr, nullptr), ERR_CONNECTION);  // not connected
}

TEST_F(HttpsClientTest, ServerCertificateIsVerified) {
    TlsTestServer server(pki_, {});
    CHttpsClient client;
    Bytes body;
    // A server where the client connects, with a certificate from a trusted CA for another name,
    // asking for a client certificate: refused before the certificate is signed.
    test::ScopedDir elsewhereDir("elsewhere");
    const auto elsewhere =
        test::TestPki::Create(elsewhereDir.path(), "CA", 30, "DNS:other.example");
    setenv("SSL_CERT_FILE", elsewhere.caFile.c_str(), 1);
    TlsTestServer impostor(elsewhere, {true, nullptr, 0, 0});
    const PkeyPtr key = test::GenerateRsaKey();
    SoftwareCertificate cert(elsewhere.Issue(key.get(), "Ion"), key.get());
    for (const wchar_t* host : {L"localhost", L"127.0.0.1"}) {
        ASSERT_EQ(client.Connect(host, static_cast<std::uint16_t>(impostor.port())), 0);
        EXPECT_EQ(client.SendRequest(L"/", nullptr, &cert), ERR_CONNECTION);
    }
    EXPECT_EQ(cert.rawCalls + cert.pkcs1Calls, 0);

    // TLS 1.1, although this program's OpenSSL configuration would allow it.
    setenv("SSL_CERT_FILE", pki_.caFile.c_str(), 1);
    TlsTestServer old(pki_, {false, nullptr, TLS1_1_VERSION, TLS1_1_VERSION});
    EXPECT_EQ(Get(client, old, L"/", body), ERR_CONNECTION);
    // An untrusted CA.
    test::ScopedDir otherDir("other");
    const test::TestPki other = test::TestPki::Create(otherDir.path(), "Other CA");
    setenv("SSL_CERT_FILE", other.caFile.c_str(), 1);
    EXPECT_EQ(Get(client, server, L"/", body), ERR_CONNECTION);

    // An expired server certificate from the trusted CA.
    test::ScopedDir expiredDir("expired");
    const test::TestPki expired = test::TestPki::Create(expiredDir.path(), "Expired CA", -1);
    setenv("SSL_CERT_FILE", expired.caFile.c_str(), 1);
    TlsTestServer stale(expired, {});
    EXPECT_EQ(Get(client, stale, L"/", body), ERR_CONNECTION);
}

TEST_F(HttpsClientTest, AnswersAboveTheSizeLimitAreRefused) {
    TlsTestServer server(pki_, {});
    server.SetHandler([](const RecordedRequest& r) {
        return Reply(r.path == "/big" ? 200 : 500,
                     std::string(CHttpsClient::kMaxBodySize + (r.path == "/big" ? 1 : 2), 'x'));
    });
    CHttpsClient client;
    Bytes body;
    EXPECT_EQ(Get(client, server, L"/big", body), ERR_BAD_RESPONSE);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(Get(client, server, L"/big-error", body), ERR_BAD_RESPONSE);
}

TEST_F(HttpsClientTest, ClientCertificateDanceOnTls13And12) {
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        ClearAcceptedIssuers();
        TlsTestServer server(pki_, {true, nullptr, version, version});
        const PkeyPtr key = test::GenerateRsaKey();
        SoftwareCertificate cert(pki_.Issue(key.get(), "Ion Popescu"), key.get());

        // Without a certificate: 3, and the CA list of the request is readable.
        CHttpsClient probe;
        Bytes body;
        EXPECT_EQ(Get(probe, server, L"/", body), ERR_BAD_CERT_OR_PASSWORD);
        EXPECT_EQ(ERR_peek_error(), 0u);  // nothing left for a later step to report as its cause
        ASSERT_EQ(probe.GetAcceptedIssuers(), 0);
        const auto issuers = AcceptedIssuers();
        ASSERT_EQ(issuers.size(), 1u);
        unsigned char* der = nullptr;
        const int n = i2d_X509_NAME(X509_get_subject_name(pki_.caCert.get()), &der);
        EXPECT_EQ(issuers[0], Bytes(der, der + n));
        OPENSSL_free(der);

        // With one: refused first, then presented; the signature comes from the certificate.
        CHttpsClient client;
        EXPECT_EQ(Get(client, server, L"/rest/certificate/keygenParameters", body, &cert), 0);
        EXPECT_EQ(client.LastTlsVersion(), version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
        EXPECT_EQ(cert.rawCalls + cert.pkcs1Calls, 1);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].peerCommonName, "Ion Popescu");
    }
}

TEST_F(HttpsClientTest, KeyWithoutRawSignaturesStaysOnPkcs1AndTls12) {
    TlsTestServer server(pki_, {true, nullptr, 0, 0});
    const PkeyPtr key = test::GenerateRsaKey();
    SoftwareCertificate cert(pki_.Issue(key.get(), "Ion"), key.get(), /*raw=*/false);
    CHttpsClient client;
    Bytes body;
    EXPECT_EQ(Get(client, server, L"/", body, &cert), 0);
    EXPECT_EQ(client.LastTlsVersion(), "TLSv1.2");
    EXPECT_EQ(cert.rawCalls, 0);
    EXPECT_EQ(cert.pkcs1Calls, 1);
}

TEST_F(HttpsClientTest, RefusedCertificatesAndFailedSignatures) {
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        TlsTestServer server(pki_, {true, nullptr, version, version});
        // A certificate from another CA: the server says "certificate unknown".
        test::ScopedDir strangerDir("stranger");
        const test::TestPki stranger = test::TestPki::Create(strangerDir.path(), "Stranger CA");
        const PkeyPtr key = test::GenerateRsaKey();
        SoftwareCertificate unknown(stranger.Issue(key.get(), "Nobody"), key.get());
        CHttpsClient client;
        Bytes body;
        EXPECT_EQ(Get(client, server, L"/", body, &unknown), ERR_BAD_CERT_OR_PASSWORD);

        // A signature the token refuses (wrong PIN) and one the user cancelled.
        SoftwareCertificate wrongPin(pki_.Issue(key.get(), "Ion"), key.get());
        wrongPin.failWith = 160;
        EXPECT_EQ(Get(client, server, L"/", body, &wrongPin), ERR_BAD_CERT_OR_PASSWORD);
        wrongPin.cancelled = true;
        EXPECT_EQ(Get(client, server, L"/", body, &wrongPin), ERR_CANCELLED);
    }
    // Whichever certificate alert the server refuses with.
    const PkeyPtr key = test::GenerateRsaKey();
    SoftwareCertificate cert(pki_.Issue(key.get(), "Ion"), key.get());
    for (int alert : {42, 46, 48, 49}) {
        TlsTestServer server(pki_, {true, nullptr, TLS1_2_VERSION, TLS1_2_VERSION, alert});
        CHttpsClient client;
        Bytes body;
        EXPECT_EQ(Get(client, server, L"/", body, &cert), ERR_BAD_CERT_OR_PASSWORD) << alert;
    }
}

TEST_F(HttpsClientTest, ThroughACompanyProxy) {
    TlsTestServer api(pki_, {});
    TlsTestServer rekey(pki_, {true, nullptr, 0, 0});
    const PkeyPtr key = test::GenerateRsaKey();
    SoftwareCertificate cert(pki_.Issue(key.get(), "Ion"), key.get());
    const Bytes request = ToBytes("-----BEGIN CERTIFICATE REQUEST-----");
    unsetenv("no_proxy");
    for (bool refuse : {false, true}) {
        test::ConnectProxy proxy(refuse);
        setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
        const ErrorId expected = refuse ? ERR_CONNECTION : ERR_SUCCESS;
        CHttpsClient client;
        Bytes body;
        EXPECT_EQ(Get(client, api, L"/public/rest/certificate/status", body), expected);
        ASSERT_EQ(client.Connect(L"localhost", static_cast<std::uint16_t>(rekey.port())), 0);
        EXPECT_EQ(client.SendRequest(L"/rest/certificate/pkcs10", &request, &cert), expected);
        EXPECT_EQ(proxy.accepted(), refuse ? 2 : 3);  // the upload asks twice
    }
    unsetenv("https_proxy");
}

}  // namespace
}  // namespace qe
