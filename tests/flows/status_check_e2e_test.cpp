#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "e2e_fixture.h"
#include "flows/sign_and_install.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;

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
    EXPECT_EQ(status.statusText,
              L"Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.");
    EXPECT_TRUE(status.canGenerate);
    EXPECT_FALSE(status.canDownload);
    ASSERT_EQ(status.renewableStore.size(), 1u);
    EXPECT_EQ(SerialNumberText(status.renewableStore[0].der), oldSerial_);
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
// button the launch link then presses.
TEST_F(FlowTest, StatusAnswerHeadersDecideTheButtonsAndTheIssuersAreAskedOnce) {
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
                                  "body": "Stare", "headers": {)" +
                    c.headers + "}}}");
        window_.Clear();
        window_.launchLink = c.link;
        RunStatusCheck();
        const StatusOutcome status = window_.Status();
        EXPECT_EQ(status.statusText, L"Stare");
        EXPECT_EQ(AskForDn(), c.askForDn);
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
}

TEST_F(FlowTest, FailedCheckOffersRetryAndCancelEndsTheProgram) {
    const std::tuple<std::function<void()>, ErrorId, std::wstring> cases[] = {
        {[this] {
             SetScenario(R"({"force": {"path": "/public/rest/certificate/status", "status": 503,
                                       "body": "Serviciu indisponibil"}})");
         },
         ERR_SERVER, L"Serviciu indisponibil"},
        {[] { setenv("QUORVANE_API_HOST", "127.0.0.1:1", 1); }, ERR_CONNECTION,
         L"Eroare de conectare la serverul Quorvane. Vă rugăm să verificați conexiunea la "
         L"internet."},
    };
    for (const auto& [arrange, id, text] : cases) {
        arrange();
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
        [&] { window_.ShowResult(SignAndInstall(window_, certificate, true), 126, kBoxOk); },
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

}  // namespace
}  // namespace qe::test
