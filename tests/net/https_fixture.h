// The fixtures the HTTPS client's tests share: a trusted test CA with openssl s_server as the
// peer, and a SoftHSM2 token with a key pair and its certificate behind the fault module.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "log/last_error.h"
#include "net/https_client.h"
#include "net/token_client_certificate.h"
#include "support/outside_step.h"
#include "support/scoped_dir.h"
#include "support/scripted_pins.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "tls_peer.h"
#include "token/pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

// The run and step every request of these tests belongs to; the cancel test cancels it.
NetworkRun& TestRun() {
    static NetworkRun run;
    return run;
}
NetworkStep& Step() {
    static NetworkStep step(&TestRun());
    return step;
}

using test::HttpReply;
using test::ScriptedPins;
using test::TlsPeer;
using Options = std::vector<std::string>;

class HttpsClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_ = test::TestPki::Create(dir_.path());
        Trust(pki_);
    }
    static void Trust(const test::TestPki& pki) { setenv("SSL_CERT_FILE", pki.caFile.c_str(), 1); }

    // Connects, sends and receives, the server answering with `reply`; the result of the first
    // step that fails.
    static ErrorId Exchange(CHttpsClient& client, TlsPeer& server, const std::wstring& path,
                            Bytes& answer, const std::string& reply = HttpReply(200, ""),
                            ClientCertificate* certificate = nullptr, const Bytes* body = nullptr,
                            const std::wstring& host = L"localhost", long deadline = 0) {
        SystemError error;  // the last error and OpenSSL's queue are the thread's
        const ErrorId result = server.Answer(reply, [&] {
            std::optional<NetworkDeadline> step;
            if (deadline > 0) {
                step.emplace(Step(), deadline);
            }
            ErrorId rc = client.Connect(host, static_cast<std::uint16_t>(server.port()));
            if (rc == ERR_SUCCESS) {
                rc = client.SendRequest(path, body, certificate);
            }
            rc = rc == ERR_SUCCESS ? client.ReceiveResponse(answer) : rc;
            error = GetLastSystemError();
            openSslLeft = ERR_peek_error();
            return rc;
        });
        SetLastSystemError(error);
        return result;
    }

    static inline unsigned long openSslLeft = 0;  // on the queue after the last exchange
    test::ScopedDir dir_{"https"};
    test::TestPki pki_;
};

// A token holding a key pair and a certificate for it from the test CA, reached through the
// fault module.
class TokenTlsTest : public HttpsClientTest {
protected:
    void SetUp() override {
        HttpsClientTest::SetUp();
        hsm_.InitToken("Ion Popescu", "1234");
        {
            test::SoftHsm::Session session("Ion Popescu", "1234");
            const Bytes modulus = session.GenerateRsaKeyPair(2048, "\x01");
            key_ = test::RsaPublicKey(modulus, session.PublicExponent(modulus));
            session.CreateCertificate(pki_.Issue(key_.get(), "Ion Popescu"), Bytes{0x01},
                                      "Ion Popescu");
        }
        hsm_.WriteModuleList({test::FaultModuleLibrary()});
        std::vector<TokenCertificate> store;
        ASSERT_EQ(GetSmartCardStore(test::NoTokenStep(), store), 0);
        ASSERT_EQ(store.size(), 1u);
        certificate_ = store.front();
        hsm_.ClearRecord();
    }

    // One exchange presenting the token's certificate, the PIN answered with `pin` ("" cancels).
    ErrorId WithToken(TlsPeer& server, const std::string& pin = "1234", const Bytes* body = nullptr,
                      const std::wstring& host = L"localhost", long deadline = 0) {
        pins_.answers = {pin};
        TokenClientCertificate certificate(test::NoTokenStep(), certificate_, pins_);
        CHttpsClient client(Step());
        client.limits.connect = 2;
        Bytes answer;
        const ErrorId rc = Exchange(client, server, L"/rest/certificate/keygenParameters", answer,
                                    HttpReply(200, "ok"), &certificate, body, host, deadline);
        version_ = client.LastTlsVersion();
        canSignRaw_ = certificate.CanSignRaw();
        return rc;
    }
    // s_server options asking for a certificate of the test CA, or of the CA in `caFile`; `more`.
    Options AskForCertificate(Options more = {}, const std::string& caFile = {}) const {
        more.insert(more.begin(), {"-Verify", "1", "-verify_return_error", "-CAfile",
                                   caFile.empty() ? pki_.caFile : caFile});
        return more;
    }

    test::SoftHsm hsm_;
    TokenCertificate certificate_;
    ScriptedPins pins_;
    std::string version_;
    bool canSignRaw_ = false;
    PkeyPtr key_;  // of the token's key pair
};

}  // namespace
}  // namespace qe
