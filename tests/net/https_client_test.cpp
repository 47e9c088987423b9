#define OPENSSL_SUPPRESS_DEPRECATED  // the key answers RSA_private_encrypt
#include "net/https_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <optional>

#include <netinet/in.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "https_fixture.h"
#include "log/last_error.h"
#include "net/header_block.h"
#include "net/tls_key.h"
#include "net/token_client_certificate.h"
#include "support/connect_proxy.h"
#include "support/process_log.h"
#include "support/scripted_pins.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "tls_peer.h"
#include "token/pin_port.h"
#include "token/pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

TEST_F(HttpsClientTest, RequestsCarryTheHeaderBlockAndAnswersAreReadWhole) {
    TlsPeer server(pki_, {});
    const char* keyLog = std::getenv("SSLKEYLOGFILE");  // set for this test program
    test::WriteFile(keyLog, "");
    CHttpsClient client(Step());
    client.headerBlock = HeaderBlockStart() + TokenHashLine("abc");
    Bytes answer;
    ASSERT_EQ(Exchange(client, server, L"/public/rest/certificate/status?serial=01", answer,
                       HttpReply(200, "Aveți un certificat", {"note: Comand\xE3"})),
              0);
    std::wstring header = L"note";
    EXPECT_EQ(client.QueryHeader(header), 0);
    EXPECT_EQ(header, L"Comand\u00E3");  // not UTF-8: Latin-1
    // Empty values reach the wire, and a block may end without a line feed.
    client.headerBlock += L"TOKEN_MODEL: \nTOKEN_PRODUCT_NAME: ";
    test::ProcessLog log;
    const Bytes upload{'x'};
    ASSERT_EQ(server.Answer(HttpReply(200, ""),
                            [&] { return client.SendRequest(L"/b", &upload, nullptr); }),
              0);
    ASSERT_EQ(client.ReceiveResponse(answer), 0);
    EXPECT_EQ(log.Since(),
              "[T][Sending Request] Send request to /b\n[T][Sending Request] Open Req\n"
              "[T][Sending Request] Acepted types: text/plain\n[T][Sending Request] Send: x\n"
              "[T][Sending Request] To : /b\n[T][Sending Request] Send Req\n"
              "[T][GetResponse] Get response\n[T][GetResponse] Query status code\n"
              "[T][GetResponse] Read data\n[T][GetResponse] Status code: 200\n"
              "[T][GetResponse] Response len: 0\n[T][GetResponse] Response msg: \"\"\n");
    EXPECT_EQ(test::ReadFile(keyLog), "");
    EXPECT_THAT(
        server.Output(),
        ::testing::HasSubstr("\r\nTOKEN_HASH: abc\r\nTOKEN_MODEL:\r\nTOKEN_PRODUCT_NAME:\r\n"));

    using namespace ::testing;
    const auto browser =
        AllOf(IsSupersetOf({Pair("Accept", "text/plain"),
                            Pair("User-Agent",
                                 "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/"
                                 "537.36 (KHTML, like Gecko) Chrome/60.0.3112.113 "
                                 "Safari/537.36")}),
              Not(Contains(Key("Content-Type"))));
    EXPECT_THAT(server.Requests(), ElementsAre(browser, browser));
}

TEST_F(HttpsClientTest, StatusAndBodyGiveTheIdentifierAndTheMessageOfThatAnswer) {
    const std::string limit(CHttpsClient::kMaxBodySize, 'x');
    const struct {
        int status;
        std::string body;
        ErrorId rc;
        std::wstring message;
        const char* contentType = "Content-Type: text/plain";
    } cases[] = {
        {502, "<html><body>gateway</body></html>", ERR_BAD_RESPONSE,
         L"<html><body>gateway</body></html>", "Content-Type: text/html"},
        {500, "<HTML>upper</HTML>", ERR_SERVER, L"<HTML>upper</HTML>"},
        {500, std::string(299, ' ') + "ăă", ERR_SERVER, std::wstring(299, L' ') + L"ă..."},
        {500, "Comand\xE3", ERR_BAD_RESPONSE, L""},  // a message belongs to one answer
        {200, limit, ERR_SUCCESS, L""},
        {500, limit + "x", ERR_BAD_RESPONSE, L""},  // above the limit: nothing is kept
    };
    // Each answer is a file the server sends whole, in pieces, then closes the connection.
    const test::ScopedDir files("answers");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        test::WriteFile(files / std::to_string(i),
                        HttpReply(cases[i].status, cases[i].body, {cases[i].contentType}));
    }
    TlsPeer server(pki_, {"-HTTP"}, files.path());
    CHttpsClient client(Step());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.body.substr(0, 40));
        Bytes answer{1, 2, 3};
        EXPECT_EQ(Exchange(client, server, L"/" + std::to_wstring(i), answer), c.rc);
        EXPECT_EQ(ToString(answer), c.body.size() > limit.size() ? "" : c.body);
        EXPECT_EQ(Step().ServerMessage(), c.message);
    }
}

TEST_F(HttpsClientTest, NothingToSendOrReadWithoutAServerAndAPath) {
    CHttpsClient client(Step());
    Bytes answer;
    std::wstring header = L"pkcs10";
    EXPECT_EQ(client.ReceiveResponse(answer), ERR_CONNECTION);
    EXPECT_EQ(client.QueryHeader(header), ERR_CONNECTION);
    std::vector<Bytes> issuers;
    EXPECT_EQ(client.GetAcceptedIssuers(issuers), ERR_CONNECTION);
    EXPECT_EQ(client.SendRequest(L"/", nullptr, nullptr), ERR_CONNECTION);
    for (const wchar_t* host : {L"", L"a/b", L"a@b", L"a b"}) {
        EXPECT_EQ(client.Connect(host, 443), ERR_CONNECTION);
    }
    ASSERT_EQ(client.Connect(L"localhost", 9), ERR_SUCCESS);
    for (const wchar_t* path : {L"", L"status", L"/a b", L"/a\r\nX: 1"}) {
        EXPECT_EQ(client.SendRequest(path, nullptr, nullptr), ERR_CONNECTION);
    }
}

// A host that takes the connection and never answers: a step's deadline ends the wait whatever
// the client's own limits, and so does the customer's cancel.
TEST_F(HttpsClientTest, SilentHostIsLeftAtTheDeadlineOrOnCancel) {
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    bind(silent, reinterpret_cast<sockaddr*>(&address), size);
    listen(silent, 4);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
    CHttpsClient client(Step());
    client.limits = {60, 60, 60};
    client.Connect(L"127.0.0.1", ntohs(address.sin_port));
    for (const long seconds : {1, 60}) {  // the second one is cancelled
        auto wait = std::async(std::launch::async, [&client, seconds] {
            const NetworkDeadline step(Step(), seconds);
            return client.SendRequest(L"/", nullptr, nullptr);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        seconds == 60 ? TestRun().cancel.Cancel() : TestRun().cancel.Allow();
        ASSERT_EQ(wait.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(wait.get(), seconds == 60 ? ERR_CANCELLED : ERR_CONNECTION);
    }
    TestRun().cancel.Allow();
    close(silent);
}

// A token that drops the leading zero octets of its signature: the key widens it to the modulus.
TEST(TlsClientKey, ShortSignatureIsWidenedWithZeroOctets) {
    struct ShortSignature : ClientCertificate {
        const Bytes& CertificateDer() const override { return der; }
        bool CanSignRaw() override { return true; }
        int SignRaw(const Bytes&, Bytes& out) override { return out.assign(255, 0x42), 0; }
        int SignDigestInfo(const Bytes& in, Bytes& out) override { return SignRaw(in, out); }
        bool Cancelled() const override { return false; }
        Bytes der;
    } token;
    const X509Ptr cert = test::FromDer(test::MakeCertificate({{{"CN", "x"}}}, test::SharedKey()));
    const PkeyPtr key = MakeTlsClientKey(token, cert.get());
    ASSERT_TRUE(key);
    Bytes out(256, 0xFF);
    const Bytes in(256, 0x01);
    EXPECT_EQ(RSA_private_encrypt(256, in.data(), out.data(),
                                  const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get())), RSA_NO_PADDING),
              256);
    Bytes expected(255, 0x42);
    expected.insert(expected.begin(), 0);
    EXPECT_EQ(out, expected);
}

// Refused before the token signs anything: TLS 1.1 (although this program's OpenSSL
// configuration allows it), a CA not trusted, an expired certificate, another name; the server saw
// the handshake and the client's reason is the certificate's. Likewise through company proxies
// that refuse the CONNECT, inspect TLS (the far end shows its own CA's certificate) or write a
// block page into the tunnel. Through the last, the same handshake made directly tells: a server
// that verifies means the network is in the way; one that does not proves nothing. The status
// check's issuer query reports the handshake's real failure.
TEST_F(TokenTlsTest, NothingIsSignedForAServerNotVerifiedOrAProxyInTheWay) {
    const test::ScopedDir dirs[4];  // one ca.pem each
    const auto other = test::TestPki::Create(dirs[0].path(), "Other CA");
    const auto expired = test::TestPki::Create(dirs[1].path(), "Expired CA", -1);
    const auto elsewhere = test::TestPki::Create(dirs[2].path(), "CA", 30, "DNS:other.example");
    const auto inspector = test::TestPki::Create(dirs[3].path(), "Inspector CA");
    const test::PythonPeer blocks({getenv("QE_BLOCK_PAGE_PROXY")});
    const test::ScopedEnv direct("no_proxy", nullptr);
    enum Proxy { kNone, kRefusing, kTunnel, kBlocking };
    const struct {
        const test::TestPki &server, &trusted;
        const char* version;  // none: the default versions
        const wchar_t* host;
        ErrorId rc;
        std::uint32_t code = 0;  // libcurl's; 0 for not checked
        const char *reason = "", *serverSaw = "";
        Proxy proxy = kNone;
        const char* told = "";
    } cases[] = {
        {pki_, pki_, "-tls1_1", L"localhost", ERR_CONNECTION, 35, "alert protocol version",
         "unsupported protocol"},
        {pki_, other, "-tls1_2", L"localhost", ERR_TLS_INSPECTED, 60,
         "self-signed certificate in certificate chain", "alert unknown ca"},
        {expired, expired, "-tls1_2", L"localhost", ERR_CONNECTION, 60, "certificate has expired",
         "alert certificate expired"},
        {expired, expired, "-tls1_3", L"localhost", ERR_CONNECTION, 60, "certificate has expired",
         "alert certificate expired"},
        {elsewhere, elsewhere, "-tls1_2", L"localhost", ERR_CONNECTION, 60, "hostname mismatch",
         "alert bad certificate"},
        {elsewhere, elsewhere, "-tls1_3", L"127.0.0.1", ERR_CONNECTION, 60, "IP address mismatch",
         "alert bad certificate"},
        {pki_, pki_, nullptr, L"localhost", ERR_CONNECTION, 0, "", "", kRefusing},
        {inspector, pki_, nullptr, L"localhost", ERR_TLS_INSPECTED, 0, "", "", kTunnel,
         "issuer: CN = Inspector CA"},
        {pki_, pki_, nullptr, L"localhost", ERR_TLS_INSPECTED, 0, "", "", kBlocking,
         "fails only through the proxy"},
        {inspector, pki_, nullptr, L"localhost", ERR_CONNECTION, 0, "", "", kBlocking},
    };
    const Bytes request = ToBytes("-----BEGIN CERTIFICATE REQUEST-----");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.reason << " " << (c.version ? c.version : "")
                                        << " through proxy " << c.proxy);
        TlsPeer server(c.server, AskForCertificate(c.version ? Options{c.version} : Options{},
                                                   c.server.caFile));
        Trust(c.trusted);
        std::optional<test::ConnectProxy> proxy;
        if (c.proxy == kRefusing || c.proxy == kTunnel) {
            proxy.emplace(c.proxy == kRefusing);
        }
        const std::string address = proxy ? proxy->url() : blocks.url();
        const test::ScopedEnv through("https_proxy", c.proxy != kNone ? address.c_str() : nullptr);
        test::ProcessLog log;
        EXPECT_EQ(WithToken(server, "1234", &request, c.host), c.rc);
        if (c.code != 0) {
            EXPECT_EQ(GetLastSystemError().code, c.code);
            EXPECT_THAT(GetLastSystemError().text, ::testing::HasSubstr(c.reason));
            EXPECT_TRUE(server.Printed(c.serverSaw)) << server.Output();
        }
        EXPECT_EQ(proxy ? proxy->Requests(1) : 1, 1);
        EXPECT_TRUE(server.Requests().empty());
        const auto told = log.Lines("issuer: CN = Inspector CA|fails only through the proxy");
        EXPECT_EQ(told.size() == 1 && told[0].find(c.told) != std::string::npos, *c.told != 0);
        CHttpsClient probe(Step());
        Bytes answer;
        Exchange(probe, server, L"/", answer, HttpReply(200, ""), nullptr, nullptr, c.host);
        std::vector<Bytes> issuers;
        EXPECT_EQ(probe.GetAcceptedIssuers(issuers), c.rc);
        EXPECT_NE(GetLastSystemError().code, 58u);  // not "asked for no client certificate"
    }
    EXPECT_EQ(pins_.asked, 0);
    EXPECT_TRUE(test::CallNames(hsm_.RecordedCalls(), {"C_Login", "C_Sign"}).empty());
}

// Signed on the token on either version and with the signature schemes a server may insist on;
// a token without raw RSA keeps to PKCS #1 on TLS 1.2.
TEST_F(TokenTlsTest, HandshakeSignedOnTheToken) {
    const char* pss = "rsa_pss_rsae_sha256";
    const char* pkcs1 = "RSA+SHA256";
    const struct {
        const char* fault;
        Options options;
        const char* negotiated;
    } cases[] = {
        {"hide-mechanism CKM_RSA_X_509 CKM_RSA_PKCS_PSS", {}, "TLSv1.2"},
        {"", {"-tls1_2", "-sigalgs", pss, "-client_sigalgs", pss}, "TLSv1.2"},
        {"", {"-tls1_3", "-sigalgs", pss, "-client_sigalgs", pss}, "TLSv1.3"},
        {"", {"-tls1_2", "-sigalgs", pkcs1, "-client_sigalgs", pkcs1}, "TLSv1.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        hsm_.WriteFaultConfig(std::string(c.fault) + "\n");
        TlsPeer server(pki_, AskForCertificate(c.options));
        // Without a certificate: refused, and the CA names of the request are readable.
        CHttpsClient probe(Step());
        Bytes answer;
        test::ProcessLog log;
        EXPECT_EQ(Exchange(probe, server, L"/", answer), ERR_BAD_CERT_OR_PASSWORD);
        EXPECT_EQ(log.Lines("Cert requested|certificate is NULL"),
                  (std::vector<std::string>{
                      "[T][Sending Request] Cert requested",
                      "[T][Sending Request] The selected certificate is NULL. Error "
                      "Authentification"}));
        EXPECT_EQ(openSslLeft, 0u);  // nothing left for a later step to report as its cause
        std::vector<Bytes> issuers;
        ASSERT_EQ(probe.GetAcceptedIssuers(issuers), 0);
        unsigned char* der = nullptr;
        const int n = i2d_X509_NAME(X509_get_subject_name(pki_.caCert.get()), &der);
        EXPECT_THAT(issuers, ::testing::ElementsAre(Bytes(der, der + n)));
        OPENSSL_free(der);

        hsm_.ClearRecord();
        EXPECT_EQ(WithToken(server), 0);
        EXPECT_EQ(version_, c.negotiated);
        EXPECT_EQ(canSignRaw_, c.fault[0] == '\0');
        EXPECT_EQ(test::CallNames(hsm_.RecordedCalls(), {"C_SignInit"}).size(), 1u);
        EXPECT_EQ(server.Requests().size(), 1u);
        EXPECT_TRUE(server.Printed("subject=CN = Ion Popescu\n"));
    }
    EXPECT_EQ(pins_.asked, 1);  // asked once, then cached
}

TEST_F(TokenTlsTest, WhatTheCustomerTheTokenAndTheServerDoInTheHandshake) {
    test::ScopedDir strangerDir("stranger");
    const auto stranger = test::TestPki::Create(strangerDir.path(), "Stranger CA");
    const char* v2 = "-tls1_2";
    const char* v3 = "-tls1_3";
    // The server refuses the certificate: another CA (unknown_ca), a clock an hour behind
    // (bad_certificate) or a year ahead (certificate_expired), a name it wants instead
    // (certificate_unknown), its revocation list (certificate_revoked).
    const Options otherCa = {"-CAfile", stranger.caFile};
    const Options early = {"-attime", std::to_string(std::time(nullptr) - 3600)};
    const Options late = {"-attime", std::to_string(std::time(nullptr) + 366 * 86400)};
    const Options name = {"-verify_hostname", "nobody.example"};
    // The test CA's revocation list, which names the token's certificate.
    const X509Ptr tokenCertificate = test::FromDer(certificate_.der);
    OpenSslPtr<X509_CRL, X509_CRL_free> list(X509_CRL_new());
    OpenSslPtr<ASN1_TIME, ASN1_TIME_free> now(ASN1_TIME_adj(nullptr, std::time(nullptr), 0, -60));
    OpenSslPtr<ASN1_TIME, ASN1_TIME_free> next(ASN1_TIME_adj(nullptr, std::time(nullptr), 1, 0));
    X509_REVOKED* entry = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(tokenCertificate.get()));
    X509_REVOKED_set_revocationDate(entry, now.get());
    X509_CRL_add0_revoked(list.get(), entry);
    X509_CRL_set_issuer_name(list.get(), X509_get_subject_name(pki_.caCert.get()));
    X509_CRL_set1_lastUpdate(list.get(), now.get());
    X509_CRL_set1_nextUpdate(list.get(), next.get());
    X509_CRL_sign(list.get(), pki_.caKey.get(), EVP_sha256());
    const std::string listFile = strangerDir / "revoked.pem";
    PEM_write_bio_X509_CRL(BioPtr(BIO_new_file(listFile.c_str(), "w")).get(), list.get());
    const Options revoked = {"-CRL", listFile, "-crl_check"};
    const struct {
        const char *fault, *pin;
        int typingMs;
        const char* version;
        Options refusal;
        ErrorId rc;
        CK_RV logged;  // the token's result the failure logger reports, 0 for none
    } cases[] = {
        // Typing the PIN takes longer than the connect limit.
        {"", "1234", 2500, v2, {}, ERR_SUCCESS, 0},
        {"fail C_Login 0xA2", "1234", 0, v2, {}, ERR_BAD_CERT_OR_PASSWORD, CKR_PIN_LEN_RANGE},
        // A token that is gone or fails is told as the token's failure, not the network's.
        {"absent", "1234", 0, v2, {}, ERR_NO_TOKEN, CKR_TOKEN_NOT_PRESENT},
        {"fail C_Sign 0x30", "1234", 0, v3, {}, ERR_TOKEN_DEVICE, CKR_DEVICE_ERROR},
        {"", "1234", 0, v3, otherCa, ERR_BAD_CERT_OR_PASSWORD, 0},
        {"", "1234", 0, v2, otherCa, ERR_BAD_CERT_OR_PASSWORD, 0},
        {"", "1234", 0, v2, early, ERR_BAD_CERT_OR_PASSWORD, 0},
        {"", "1234", 0, v3, late, ERR_BAD_CERT_OR_PASSWORD, 0},
        {"", "1234", 0, v2, name, ERR_BAD_CERT_OR_PASSWORD, 0},
        {"", "1234", 0, v3, revoked, ERR_BAD_CERT_OR_PASSWORD, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fault << " PIN " << c.pin << " " << c.version << " "
                                        << testing::PrintToString(c.refusal));
        hsm_.WriteFaultConfig(std::string(c.fault) + "\n");
        Options more = c.refusal;
        more.push_back(c.version);
        TlsPeer server(pki_, AskForCertificate(more));
        pins_.ClearPin();
        pins_.cleared = 0;
        pins_.typing = std::chrono::milliseconds(c.typingMs);
        test::ProcessLog log;
        EXPECT_EQ(WithToken(server, c.pin), c.rc);
        const auto failures = log.Lines("Message Status ID|Server says");
        if (c.logged != 0) {
            EXPECT_EQ(failures.back(), "[T][Sending Request][On Error] Message Status ID = " +
                                           std::to_string(c.logged));
        } else if (c.rc == ERR_BAD_CERT_OR_PASSWORD) {
            EXPECT_EQ(failures.back(),
                      "[T][Sending Request] Error after sending the certificate "
                      "= 2148074279 ( Server says: Certificate Unknown ) ");
        }
        // A PIN the token refused is forgotten, so the next attempt asks again.
        const bool refused = c.logged == CKR_PIN_INCORRECT || c.logged == CKR_PIN_LEN_RANGE;
        EXPECT_EQ(pins_.cleared, refused ? 1 : 0);
        EXPECT_EQ(server.Requests().size(), c.rc == ERR_SUCCESS ? 1u : 0u);
    }
}

// A proxy that asks for a password: the customer's answers in order, the login kept for the retry
// with the certificate, one written in the proxy setting, and a cancelled dialog. Typing is no
// network wait: the first login takes longer than the step's deadline. A proxy that closes the
// connection after its question never answers the login sent on it: that is no refusal, and the
// login goes with the first question on the next connection. Basic to a plain proxy is told so.
TEST_F(TokenTlsTest, ThroughAProxyThatAsksForAPassword) {
    TlsPeer rekey(pki_, AskForCertificate());
    test::ScriptedProxyLogins logins;
    TestRun().proxyLogins.SetPort(&logins);
    const struct {
        std::vector<std::string> answers, asked;
        const char* inSetting;
        ErrorId rc;
        bool closes = false;
    } cases[] = {
        {{"ana:pa55-w"}, {""}, "", ERR_SUCCESS},
        {{"ana:n0pe", "ana:pa55-w"}, {"", " again"}, "", ERR_SUCCESS},
        {{}, {}, "ana:pa55-w@", ERR_SUCCESS},
        {{"ana:pa55-w"}, {" again"}, "ana:0ld@", ERR_SUCCESS},
        {{"ana:n0pe", ""}, {"", " again"}, "", ERR_PROXY_AUTH},
        {{"ana:pa55-w"}, {""}, "", ERR_SUCCESS, true},
        {{"ana:n0pe", "ana:pa55-w"}, {"", " again"}, "", ERR_SUCCESS, true},
    };
    for (const auto& c : cases) {
        std::optional<test::ConnectProxy> proxy;
        std::optional<test::PythonPeer> closing;
        if (c.closes) {
            closing.emplace(std::vector<std::string>{getenv("QE_CLOSING_PROXY")});
        } else {
            proxy.emplace(false, "ana pa55-w");
        }
        const std::string address = closing ? closing->url() : proxy->url();
        const test::ScopedEnv through(
            "https_proxy", (address.substr(0, 7) + c.inSetting + address.substr(7)).c_str());
        SCOPED_TRACE(getenv("https_proxy"));
        logins.answers.assign(c.answers.begin(), c.answers.end());
        logins.asked.clear();
        logins.inClear = 0;
        logins.typing = std::chrono::milliseconds(&c == cases ? 2500 : 0);
        test::ProcessLog log;
        EXPECT_EQ(WithToken(rekey, "1234", nullptr, L"localhost", 2), c.rc);
        std::vector<std::string> asked;
        for (const std::string& shown : c.asked) {
            asked.push_back(ProxyForLog(getenv("https_proxy")) + shown);
        }
        EXPECT_EQ(logins.asked, asked);
        EXPECT_EQ(logins.inClear, static_cast<int>(asked.size()));
        EXPECT_TRUE(log.Lines("pa55|n0pe|0ld").empty());
    }
    EXPECT_EQ(rekey.Requests().size(), 6u);
    TestRun().proxyLogins.SetPort(nullptr);
}

}  // namespace
}  // namespace qe
