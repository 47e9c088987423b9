#include "net/token_client_certificate.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <openssl/ssl.h>

#include "net/https_client.h"
#include "scripted_pins.h"
#include "support/softhsm.h"
#include "support/softhsm_certs.h"
#include "test_pki.h"
#include "tls_test_server.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::TlsTestServer;

// A token holding a key pair and a certificate for it from the test CA the server trusts.
class TokenTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_ = test::TestPki::Create(dir_.path());
        setenv("SSL_CERT_FILE", pki_.caFile.c_str(), 1);
        hsm_.InitToken("Ion Popescu", "1234");
        {
            test::SoftHsm::Session session("Ion Popescu", "1234");
            const Bytes modulus = session.GenerateRsaKeyPair(2048, "\x01");
            const PkeyPtr publicKey = test::RsaPublicKey(modulus, session.PublicExponent(modulus));
            const Bytes der = pki_.Issue(publicKey.get(), "Ion Popescu");
            session.CreateCertificate(der, Bytes{0x01}, "Ion Popescu");
        }
        UseModule(test::SoftHsmLibrary());
    }

    void UseModule(const char* library) {
        hsm_.WriteModuleList({library});
        zel_token token;
        ASSERT_EQ(CPKI().SelectToken(token), CKR_OK);
        std::vector<TokenCertificate> store;
        ASSERT_EQ(GetSmartCardStore(token, store), 0);
        ASSERT_EQ(store.size(), 1u);
        certificate_ = store.front();
    }

    ErrorId Get(TlsTestServer& server, ClientCertificate& cert, std::string* version = nullptr) {
        CHttpsClient client;
        client.limits.connect = connectLimit_;
        Bytes body;
        ErrorId rc = client.Connect(L"localhost", static_cast<std::uint16_t>(server.port()));
        if (rc == 0) {
            rc = client.SendRequest(L"/rest/certificate/keygenParameters", nullptr, &cert);
        }
        if (rc == 0) {
            rc = client.ReceiveResponse(body);
        }
        if (version != nullptr) {
            *version = client.LastTlsVersion();
        }
        return rc;
    }

    test::ScopedDir dir_{"tokentls"};
    test::SoftHsm hsm_;
    test::TestPki pki_;
    TokenCertificate certificate_;
    test::ScriptedPins pins_;
    long connectLimit_ = 60;
};

TEST_F(TokenTlsTest, HandshakeSignedOnTheTokenOnBothVersions) {
    for (int version : {TLS1_3_VERSION, TLS1_2_VERSION}) {
        TlsTestServer server(pki_, {true, nullptr, version, version});
        pins_.answers = {"1234"};
        TokenClientCertificate cert(certificate_, pins_);
        std::string negotiated;
        ASSERT_EQ(Get(server, cert, &negotiated), 0);
        EXPECT_EQ(negotiated, version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");
        EXPECT_TRUE(cert.CanSignRaw());
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].peerCommonName, "Ion Popescu");
    }
    EXPECT_EQ(pins_.asked, 1);  // asked once, then cached
}

TEST_F(TokenTlsTest, WrongPinFailsWithThreeAndIsForgotten) {
    TlsTestServer server(pki_, {true, nullptr, 0, 0});
    pins_.answers = {"0000"};
    TokenClientCertificate cert(certificate_, pins_);
    EXPECT_EQ(Get(server, cert), ERR_BAD_CERT_OR_PASSWORD);
    EXPECT_EQ(pins_.cleared, 1);
    EXPECT_TRUE(pins_.CachedPin().empty());
    EXPECT_TRUE(server.Requests().empty());

    pins_.answers = {"1234"};
    TokenClientCertificate again(certificate_, pins_);
    EXPECT_EQ(Get(server, again), 0);  // asked again, and this time it works
    EXPECT_EQ(pins_.asked, 2);
}

TEST_F(TokenTlsTest, CancelledPinIsASilentStop) {
    TlsTestServer server(pki_, {true, nullptr, 0, 0});
    pins_.answers = {""};
    TokenClientCertificate cert(certificate_, pins_);
    EXPECT_EQ(Get(server, cert), ERR_CANCELLED);
}

TEST_F(TokenTlsTest, TokenWithoutRawRsaKeepsToPkcs1OnTls12) {
    hsm_.WriteFaultConfig("hide-mechanism CKM_RSA_X_509 CKM_RSA_PKCS_PSS\n");
    UseModule(test::FaultModuleLibrary());
    TlsTestServer server(pki_, {true, nullptr, 0, 0});
    pins_.answers = {"1234"};
    TokenClientCertificate cert(certificate_, pins_);
    std::string negotiated;
    ASSERT_EQ(Get(server, cert, &negotiated), 0);
    EXPECT_FALSE(cert.CanSignRaw());
    EXPECT_EQ(negotiated, "TLSv1.2");
    const auto signs = test::CallNames(hsm_.RecordedCalls(), {"C_SignInit"});
    EXPECT_EQ(signs.size(), 1u);
}

TEST_F(TokenTlsTest, WhatTheCustomerAndTheTokenDoInTheHandshake) {
    struct Case {
        const char* fault;
        int typingMs;
        ErrorId expected;
    };
    const Case cases[] = {
        {"", 3000, ERR_SUCCESS},  // typing the PIN takes longer than the connect limit
        {"fail C_Login 0xA2\n", 0, ERR_BAD_CERT_OR_PASSWORD},  // an empty PIN
        {"absent\n", 0, ERR_CONNECTION},                       // the token was pulled out
        {"fail C_Sign 0x30\n", 0, ERR_CONNECTION},             // the token failed to sign
        {"sign-length 0x10000000000\n", 0, ERR_CONNECTION},    // a length beyond the key
    };
    UseModule(test::FaultModuleLibrary());
    TlsTestServer server(pki_, {true, nullptr, TLS1_2_VERSION, TLS1_2_VERSION});
    connectLimit_ = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        hsm_.WriteFaultConfig(c.fault);
        pins_.ClearPin();
        pins_.answers = {"1234"};
        pins_.typing = std::chrono::milliseconds(c.typingMs);
        TokenClientCertificate cert(certificate_, pins_);
        EXPECT_EQ(Get(server, cert), c.expected);
    }
}

}  // namespace
}  // namespace qe
