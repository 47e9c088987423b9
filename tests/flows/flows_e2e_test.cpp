#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>

#include <unistd.h>

#include <openssl/x509v3.h>

#include "e2e_fixture.h"
#include "flows/download.h"
#include "flows/request_generation.h"
#include "flows/sign_and_install.h"
#include "flows/status_check.h"
#include "request/key_pair_ledger.h"
#include "support/connect_proxy.h"
#include "support/outside_step.h"
#include "support/scripted_pins.h"
#include "support/test_pki.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/utf8.h"

// The flows end to end: SoftHSM2, the simulator, the flows behind a scripted window.
namespace qe::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = ResultDecision::Kind;

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

TEST_F(FlowTest, StatusCheckFindsTheRenewableCertificateLogsEachStepAndRoutesTheLink) {
    window_.launchLink = "quorvaneenroll://register/";
    RunStatusCheck();
    EXPECT_THAT(window_.Events(), ElementsAre("busy", "progress -1", "step 130", "step 138",
                                              "result 0", "done", "press 1000"));
    const StatusOutcome status = window_.Status();
    const std::string text =
        "Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.";
    EXPECT_EQ(status.statusText, Utf8ToWide(text));
    const std::string port = sim_->rekey().substr(sim_->rekey().rfind(':') + 1);
    EXPECT_THAT(
        NewLogLines("[Init] "),
        ElementsAre(
            "[Init] Get SC store", "[Init] Connect to: 127.0.0.1 on port " + port, "[Init] SendReq",
            "[Init] Get issuers",
            "[Init] Accepted Issuer: CN=Quorvane Demo Qualified CA, O=Quorvane Demo, C=RO",
            "[Init] Found 1 issuers", "[Init] Enum Certs " + oldSerial_,
            "[Init] Cert Added to store",
            "[Init] Request cert status @ /public/rest/certificate/status?serial=" + oldSerial_,
            "[Init] Response " + text, "[Init] pkcs10 header " + Upper(oldSerial_),
            "[Init] Se poate genera pentru " + oldSerial_, "[Init] Ask4DN header: 0",
            "[Init] Install Flag 0"));
}

// The answer headers as the authority may write them, what the window is told, and which
// button the launch link then presses; the issuers are asked for once.
TEST_F(FlowTest, StatusAnswersDecideTheButtonsAndAFailedCheckOffersRetry) {
    struct Case {
        std::string headers;
        const char* link;
        bool askForDn, canGenerate;
        std::size_t renewable;
        bool canDownload;
        const char* press;  // empty: none
    };
    const Case cases[] = {
        // An entry enables the request button, though no certificate of the token matches it.
        {R"("pkcs10": "00ff", "Ask4DN": "1", "install": "1")", "quorvaneenroll://download/", true,
         true, 0, true, "press 1001"},
        {R"("pkcs10": "00FF )" + Upper(oldSerial_) + R"(", "Ask4DN": "10", "install": "10")",
         "quorvaneenroll://download/", false, true, 1, false, ""},
        {R"("Ask4DN": "0")", "quorvaneenroll://register/", false, false, 0, false, ""},
        {R"("pkcs10": ")" + oldSerial_ + R"(")", "quorvaneenroll://register", false, true, 1, false,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        SetScenario(R"({"force": {"path": "/public/rest/certificate/status", "status": 200,
                                  "body": ")" +
                    std::string(300, 'S') + R"(tare", "headers": {)" + c.headers + "}}}");
        window_.Clear();
        window_.launchLink = c.link;
        RunStatusCheck();
        const StatusOutcome status = window_.Status();
        EXPECT_EQ(status.statusText, TextForScreen(std::wstring(300, L'S') + L"tare")) << "cut";
        EXPECT_EQ(status.askForDn, c.askForDn);
        EXPECT_EQ(status.canGenerate, c.canGenerate);
        EXPECT_EQ(status.renewableStore.size(), c.renewable);
        EXPECT_EQ(status.canDownload, c.canDownload);
        EXPECT_EQ(window_.Events("press"),
                  *c.press ? std::vector<std::string>{c.press} : std::vector<std::string>{});
    }
    // Every check probed the rekey host; only the first read its issuer list.
    const std::vector<std::string> log = NewLogLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "[Init] SendReq"), 4);
    EXPECT_EQ(std::count(log.begin(), log.end(), "[Init][GetAcceptedIssuers] Query Issuers"), 1);

    // The status refused by the authority, and the authority out of reach: a retry is offered,
    // and a cancel ends the program.
    const std::tuple<std::string, std::string, ErrorId, std::wstring> failures[] = {
        {R"({"force": {"path": "/public/rest/certificate/status", "status": 503,
                       "body": "Serviciu indisponibil"}})",
         sim_->api(), ERR_SERVER, L"Serviciu indisponibil"},
        {"{}", "127.0.0.1:1", ERR_CONNECTION, ErrorText(ERR_CONNECTION, L"")},
    };
    for (const auto& [scenario, host, id, text] : failures) {
        SCOPED_TRACE(host);
        SetScenario(scenario);
        setenv("QUORVANE_API_HOST", host.c_str(), 1);
        window_.Clear();
        window_.launchLink = "quorvaneenroll://register/";
        window_.resultAnswers = {kIdRetry, kIdCancel};
        RunStatusCheck();
        const std::string result = "result " + std::to_string(id);
        EXPECT_THAT(window_.Events(), ElementsAre("busy", "progress -1", "step 130", "step 138",
                                                  result, "done", "busy", "progress -1", "step 130",
                                                  "step 138", result, "done", "quit"));
        for (const ResultDecision& shown : window_.shown) {
            EXPECT_EQ(shown.text, text);
            EXPECT_EQ(shown.flags, kBoxRetryCancel | kBoxIconHand);
        }
    }
}

// Without a token, and with a second one, every flow stops before it reaches a server.
TEST_F(FlowTest, EveryFlowStopsWithoutATokenAndWithTwo) {
    const Bytes certificate = TokenCertificates().at(0);
    hsm_.InitToken("Second", kPin);
    hsm_.WriteModuleList({FaultModuleLibrary()});
    const std::function<void()> flows[] = {
        [this] {
            window_.resultAnswers = {kIdCancel};
            RunStatusCheck();
        },
        [this] { RegisterThread(window_); },
        [this] { DownloadThread(window_); },
        [&] {
            StepContext context(window_);
            const ErrorId id = SignAndInstall(context, window_, certificate, true);
            window_.ShowResult(id, 126, kBoxOk, context.Trace());
        },
    };
    const std::tuple<const char*, ErrorId, std::string> cases[] = {
        {"absent\n", ERR_NO_TOKEN, "[Step 1] Card Not Found"},
        {"", ERR_MULTIPLE_TOKENS, "[Step 1] Multiple Cards"},
    };
    for (const auto& [fault, id, requestLog] : cases) {
        hsm_.WriteFaultConfig(fault);
        for (std::size_t flow = 0; flow < std::size(flows); ++flow) {
            SCOPED_TRACE(std::to_string(id) + " in flow " + std::to_string(flow));
            window_.Clear();
            window_.mode = 1;
            NewLogLines();
            flows[flow]();
            EXPECT_THAT(window_.results, ElementsAre(id));
            // Request generation alone reports it further: a line for support, the bar frozen.
            EXPECT_EQ(window_.Events("freeze").size(), flow == 1 ? 1u : 0u);
            EXPECT_EQ(NewLogLines(requestLog).size(), flow == 1 ? 1u : 0u);
        }
    }
    EXPECT_EQ(sim_->Log().find("/public/rest/certificate/status"), std::string::npos);
}

TEST_F(FlowTest, RequestCarriesTheNamesOfTheOldCertificateOrTheFieldsTheAuthorityGives) {
    RunFlow(1, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(window_.Events(),
                ElementsAre("busy", "progress 0", "step 130", "progress 5", "step 132", "pin",
                            "progress 8", "progress 10", "progress 20 95 600", "progress 95",
                            "step 133", "progress 100", "result 0", "done", "start-status-check"));
    // The subject and the alternative names of the old certificate, the otherName first.
    const QJsonObject order = Order();
    const std::string uploaded = order["requests"][0].toString().toStdString();
    const X509ReqPtr request = ParseRequestPem(uploaded);
    ASSERT_TRUE(request);
    EXPECT_EQ(SubjectLine(request.get()), "/C=RO/O=Firma Exemplu SRL/CN=Ion Popescu");
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request.get());
    BioPtr names(BIO_new(BIO_s_mem()));
    X509V3_EXT_print(names.get(), sk_X509_EXTENSION_value(extensions, 0), 0, 0);
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    char* text = nullptr;
    EXPECT_EQ(std::string(text, BIO_get_mem_data(names.get(), &text)),
              "othername: UPN::ion.popescu@firma.local, email:ion.popescu@example.ro");
    // What support reads: the header block as the authority received it, and the request.
    const QJsonObject sent = order["lastHeaders"].toObject();
    std::string headers = "ENROLL_VERSION: 2.7.23\nENROLL_LANG: RO";
    for (const char* name :
         {"TOKEN_SERIAL", "TOKEN_MANUFACTURER", "TOKEN_MODEL", "TOKEN_PRODUCT_NAME"}) {
        headers += std::string("\n") + name + ": " + sent[name].toString().toStdString();
    }
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] headers: " + headers + "\n"));
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] PKCS10: " + uploaded + "\n"));
    EXPECT_THAT(NewLogLines("[Step 1] "),
                ElementsAre("[Step 1] Found certs 1", "[Step 1] Selected cert " + oldSerial_,
                            "[Step 1] DN =  2.5.4.3=Ion Popescu\r",
                            "[Step 1] PIN dialog not shown: already logged in",
                            "[Step 1] headers: ENROLL_VERSION: 2.7.23",
                            "[Step 1] PKCS10: -----BEGIN CERTIFICATE REQUEST-----\r"));
    EXPECT_EQ(SoftHsm::Session(kLabel, kPin).Find(CKO_PRIVATE_KEY).size(), 2u);

    // When the authority asks, the subject is its field list's, and no extension is asked for.
    SetScenario(R"({"ask4dn": "1", "fields": "C=RO\nO=Alta Firma SRL\nCN=Ion Popescu\n"})");
    RunFlow(1, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    const X509ReqPtr fromFields = ParseRequestPem(Order()["requests"][1].toString().toStdString());
    EXPECT_EQ(SubjectLine(fromFields.get()), "/C=RO/O=Alta Firma SRL/CN=Ion Popescu");
    EXPECT_EQ(X509_REQ_get_attr_count(fromFields.get()), 0);
    EXPECT_THAT(LogText(), HasSubstr("[Step 1] CertFields C=RO\nO=Alta Firma SRL\n"));
}

// Each way the command ends early, what the customer sees then, and what support reads.
TEST_F(FlowTest, RefusalsAndTokenFailuresEndTheCommandWithTheirText) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    setenv("QUORVANE_DATA_API_HOST", "data.example.test", 1);
    const std::string sizes = R"("keygen": "genAlgorithms.1.keySize=2048\n)";
    // The texts of the identifiers are the catalogue's (the decision's own test); the server's
    // text replaces them for its refusals.
    struct Case {
        std::string scenario;
        const char* pin;
        std::string fault;
        ErrorId id;
        std::string log = "";
        std::wstring serverText = L"";
    };
    const Case cases[] = {
        {sizes + R"(restrictedTokens.1.manufacturer=SoftHSM\n")", kPin, "", ERR_TOKEN_RESTRICTED,
         "Token restriction applies at manufacturer: 'SoftHSM' and productName: ''"},
        {R"("keygen": "# nimic\nrestrictedTokens.1.productName=X\n")", kPin, "", ERR_KEYGEN_DATA},
        {R"("force": {"path": "/rest/certificate/keygenParameters", "status": 500, "body": "Nu"})",
         kPin, "", ERR_SERVER, "Error: Nu", L"Nu"},
        // A gateway's 5xx: the keys stay until the next row's register (no certificate waits).
        {R"("force": {"path": "/rest/certificate/pkcs10", "status": 500, "body": "Eroare"})", kPin,
         "", ERR_REQUEST_UNANSWERED},
        // A firewall's page is not the authority's refusal: the keys stay as for a 5xx.
        {R"("force": {"path": "/rest/certificate/pkcs10", "status": 403,
                      "body": "<html><body>Blocked</body></html>"})",
         kPin, "", ERR_REQUEST_UNANSWERED},
        {R"("force": {"path": "/rest/certificate/pkcs10", "status": 409,
                      "body": "Există deja o cerere în lucru"})",
         kPin, "", ERR_SERVER, "Key pair of the request not accepted removed",
         L"Există deja o cerere în lucru"},
        {"", "0000", "", ERR_BAD_CERT_OR_PASSWORD},
        {"", "", "", ERR_CANCELLED},
        // The token pulled out while the keys are made.
        {"", kPin, "fail C_GenerateKeyPair 0x32\n", ERR_TOKEN_DEVICE},
        // A token that takes no protection attributes and then makes an exposed key (one it makes
        // never extractable keeps its private parts secret: see the pcsc token stack).
        {"", kPin, "refuse-attribute 0x103\nextractable-keys\n", ERR_KEY_NOT_PROTECTED},
        // Tokens that cannot carry a renewal through, found before the PIN is asked.
        {"", "", "flags-set 0x40000\n", ERR_PIN_LOCKED,
         "Token cannot renew: the user PIN is locked"},
        {"", "", "flags-clear 0x8\n", ERR_PIN_NOT_SET},
        {"", "", "flags-set 0x2\n", ERR_TOKEN_WRITE_PROTECTED},
        {"", "", "rsa-key-sizes 512 1024\n", ERR_TOKEN_NO_KEYGEN},
        {"", "", "rsa-key-sizes 4096 8192\n", ERR_TOKEN_NO_KEYGEN},
        {"", "", "hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN\n", ERR_TOKEN_NO_KEYGEN},
        {"", "", "mechanism-flags CKM_RSA_PKCS_KEY_PAIR_GEN 0\n", ERR_TOKEN_NO_KEYGEN},
        {"", "", "mechanism-flags CKM_RSA_PKCS 0x200\n", ERR_TOKEN_NO_SIGNING},
        {"", "", "mechanism-flags CKM_RSA_PKCS 0x800\n", ERR_TOKEN_NO_DECRYPTION},
        {"", "", "hide-mechanism CKM_RSA_PKCS\n", ERR_TOKEN_NO_DECRYPTION,
         "Token cannot renew: no RSA PKCS#1 signature"},
        {"", "", "free-memory 1000 100000\n", ERR_TOKEN_FULL,
         "Token cannot renew: not enough free memory for a key pair and a certificate"},
        {"", "", "free-memory 100000 2047\n", ERR_TOKEN_FULL},
        // Cancelled on the reader's keypad, or the PIN locked there.
        {"", "", kReaderToken + "fail C_Login 0x50\n", ERR_CANCELLED},
        {"", "", kReaderToken + "fail C_Login 0xa4\n", ERR_PIN_LOCKED},
        // The token's information fails, or it is gone, just after it was chosen.
        {"", "", "fail C_GetTokenInfo 0x30 skip 1\n", ERR_TOKEN_DEVICE},
        {"", "", "fail C_GetTokenInfo 0xe0 skip 1\n", ERR_NO_TOKEN},
        // A token that generates into the current key's place; then the TLS login finds no key.
        {"", kPin, "fixed-key-slot\n", ERR_TOKEN_REPLACED_KEY},
        {"", kPin, "", ERR_KEY_NOT_FOUND},
    };
    std::string restrictedLink;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario + c.fault);
        SetScenario("{" + c.scenario + "}");
        hsm_.WriteFaultConfig(c.fault);
        RunFlow(1, c.pin);
        ASSERT_THAT(window_.results, ElementsAre(c.id));
        const ResultDecision& shown = window_.shown[0];
        if (c.id == ERR_TOKEN_RESTRICTED) {
            restrictedLink = shown.link;
        }
        if (c.id == ERR_SERVER) {
            EXPECT_EQ(shown.text, c.serverText);
        }
        EXPECT_EQ(shown.flags, shown.kind == Kind::MessageBox ? kBoxIconHand : 0u);  // an OK box
        EXPECT_EQ(window_.Events("freeze").size(), 1u);
        // A token gone at a look is asked its PIN again: another may be put in its place.
        EXPECT_EQ(window_.Events("clear-pin").size(),
                  c.id == ERR_BAD_CERT_OR_PASSWORD || c.id == ERR_NO_TOKEN ? 1u : 0u);
        if (!c.log.empty()) {
            EXPECT_THAT(NewLogLines("[Step 1] "), Contains("[Step 1] " + c.log));
        }
        // No key pair left but the current one and those of a request that may have arrived.
        const std::size_t kept = LoadKeyPairLedger().size();
        EXPECT_EQ(kept, c.id == ERR_REQUEST_UNANSWERED ? 1u : 0u);
        EXPECT_EQ(SoftHsm::Session(kLabel, kPin).Find(CKO_PRIVATE_KEY).size(), 1 + kept);
    }
    // The link of the restriction alert names the token by the hash the authority knows.
    std::smatch hash;
    const std::string log = sim_->Log();
    ASSERT_TRUE(std::regex_search(log, hash, std::regex("TOKEN_HASH=([0-9a-f]{40})")));
    EXPECT_EQ(restrictedLink, "https://data.example.test/rekey-addr?tkh=" + hash.str(1));
    // Nothing reached the authority, and no key pair of a request it did not take stays.
    EXPECT_TRUE(Order()["requests"].toArray().isEmpty());
    EXPECT_EQ(SoftHsm::Session(kLabel, kPin).Find(CKO_PUBLIC_KEY).size(), 1u);
    unsetenv("QUORVANE_DATA_API_HOST");
}

// A certificate outside its dates by the computer's clock: no TLS login, and the status says why;
// the clock is blamed when by the authority's (its Date header, two days behind) it is current.
TEST_F(FlowTest, CertificateOutsideItsDatesIsRefusedBeforeTheLogin) {
    SetScenario(R"({"clockOffset": -172800})");
    RunStatusCheck();
    ASSERT_TRUE(window_.Status().authorityClockOffset.has_value());
    EXPECT_NEAR(static_cast<double>(*window_.Status().authorityClockOffset), -172800, 5);
    const test::SubjectEntries name{{"CN", "Ion Popescu"}};
    const std::tuple<test::CertContent, bool, ErrorId> cases[] = {
        {{name, "", 30, {}, -86400}, true, ERR_CERT_NOT_YET_VALID},
        {{name, "", -1, {}, 3 * 86400}, false, ERR_CERT_EXPIRED},
        {{name, "", -1, {}, 3 * 86400}, true, ERR_CERT_EXPIRED_CLOCK},
        {{name, "", -3, {}, 5 * 86400}, true, ERR_CERT_EXPIRED}};
    const StatusOutcome checked = window_.Status();
    for (const auto& [content, dated, id] : cases) {
        StatusOutcome shown = checked;
        shown.renewableStore.at(0).der = test::MakeCertificate(content, test::SharedKey());
        shown.authorityClockOffset = dated ? checked.authorityClockOffset : std::nullopt;
        window_.SetStatus(shown);
        window_.Clear();
        {
            StepContext context(window_);
            EXPECT_EQ(RequestGeneration(context, window_, shown.renewableStore), id);
        }
        EXPECT_TRUE(window_.Events("pin").empty());
        ApplyCertificateDates(shown, {shown.renewableStore[0].der}, std::time(nullptr));
        EXPECT_TRUE(shown.datesNote == id && !shown.canGenerate && shown.renewableStore.empty());
    }
}

// The warning after a wrong PIN met by register's TLS login: the token's count flags (SoftHSM2
// keeps them), else that the tries left are unknown, until a PIN is accepted. A reader with its
// own keypad is asked again there with the same warning.
TEST_F(FlowTest, PinDialogWarnsFromTheTokenAfterAWrongPin) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    const std::tuple<std::string, std::string, CK_FLAGS> cases[] = {
        {"", "", CKF_USER_PIN_COUNT_LOW},
        {"flags-clear 0x70000\n", "flags-clear 0x70000\n", kPinTriesUnknown},
        {kReaderToken + "fail C_Login 0xa0\n", kReaderToken, kPinTriesUnknown}};
    for (const auto& [wrong, right, warning] : cases) {
        hsm_.WriteFaultConfig(wrong);
        RunFlow(1, "0000");
        hsm_.WriteFaultConfig(right);
        window_.pinFlags.clear();
        window_.readerFlags.clear();
        RunFlow(1, kPin);
        RunFlow(1, "");
        const auto& asked = wrong == right ? window_.pinFlags : window_.readerFlags;
        ASSERT_EQ(asked.size(), 2u) << wrong;  // one login a register
        EXPECT_EQ(asked.front(), warning) << wrong;
        EXPECT_EQ(asked.back(), 0u) << wrong;
    }
}

TEST_F(FlowTest, TwoRenewableCertificatesLetTheCustomerChoose) {
    const CommandResult second = ProvisionToken(dir_ / "sim", SoftHsmLibrary(), kLabel, kPin,
                                                "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    ASSERT_EQ(second.status, 0) << second.err;
    RunFlow(1, kPin);  // the choice cancelled: nothing to say
    EXPECT_THAT(window_.results, ElementsAre(ERR_CANCELLED));
    EXPECT_THAT(window_.Events("choose"), ElementsAre("choose 2"));
    window_.certificateChoices = {1};
    RunFlow(1, kPin);
    EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(Order()["renewedSerial"].toString().toStdString(),
              SerialNumberText(window_.Status().renewableStore.at(1).der));
}

// The whole renewal through a company's proxy, named by the environment, GNOME's settings or a PAC
// file served on the network (a proxy that is down before it), or asking for a password that the
// customer types once for the run.
class ThroughTheCompanyProxy : public FlowTest,
                               public ::testing::WithParamInterface<std::string> {};

TEST_P(ThroughTheCompanyProxy, TheWholeRenewalCompletes) {
    const std::string way = GetParam();
    ConnectProxy proxy(false, way == "password" ? "ana pa55-w" : "");
    const std::string port = std::to_string(proxy.port()), address = "http://127.0.0.1:" + port;
    WriteFile(
        dir_ / "proxy.pac",
        "function FindProxyForURL() { return 'PROXY 127.0.0.1:1; PROXY 127.0.0.1:" + port + "'; }");
    // The server picks its own port and says which: no other program can be given it.
    const PythonPeer pacServer(
        {"-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", dir_.path()}, " port ");
    std::filesystem::create_directories(dir_ / "glib-2.0/settings");
    WriteFile(
        dir_ / "glib-2.0/settings/keyfile",
        "[system/proxy]\nignore-hosts=@as []\n" +
            (way == "gnome" ? "mode='manual'\n[system/proxy/https]\nhost='127.0.0.1'\nport=" + port
                            : "mode='auto'\nautoconfig-url='" + pacServer.url() + "/proxy.pac'"));
    const bool desktop = way == "gnome" || way == "pac";
    const ScopedEnv session[] = {{"no_proxy", nullptr},
                                 {"HTTPS_PROXY", nullptr},
                                 {"https_proxy", desktop ? nullptr : address.c_str()},
                                 {"GSETTINGS_BACKEND", "keyfile"},
                                 {"DESKTOP_SESSION", "gnome"},
                                 {"XDG_CONFIG_HOME", dir_.path().c_str()}};
    ScriptedProxyLogins logins;
    logins.answers = {"ana:pa55-w"};
    window_.Network().proxyLogins.SetPort(&logins);
    window_.acceptance = [](const Bytes&, const std::string&, const std::string&) {
        return AcceptanceOutcome{0, true};
    };
    long sends = 0, attempts = 0, down = 0;
    for (const int mode : {1, 2}) {
        RunFlow(mode, kPin);
        EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
        for (const std::string& line : NewLogLines()) {
            sends += line.ends_with("] Send Req");
            attempts += line.ends_with("] Send Req") || line.ends_with("] Resend Req");
            down += line.find("Proxy: http://127.0.0.1:1 from") != std::string::npos;
        }
    }
    // Tried first by each client, and no more once the next one worked.
    EXPECT_EQ(down > 0 && down < sends, way == "pac");
    window_.Network().proxyLogins.SetPort(nullptr);
    EXPECT_TRUE(Order()["installed"].toBool());
    EXPECT_EQ(logins.asked.size(), way == "password" ? 1u : 0u);
    EXPECT_GE(proxy.Requests(static_cast<int>(attempts)), attempts);
    EXPECT_GE(attempts, 8);  // register and download, each request once or twice
}

INSTANTIATE_TEST_SUITE_P(Ways, ThroughTheCompanyProxy,
                         ::testing::Values("environment", "gnome", "pac", "password"));

}  // namespace
}  // namespace qe::test
