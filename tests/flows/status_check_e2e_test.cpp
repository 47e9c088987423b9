#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/result_decision.h"
#include "e2e_fixture.h"
#include "flows/flow_support.h"
#include "flows/workers.h"
#include "sim/sim_process.h"
#include "support/softhsm.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(FlowTest, StatusCheckFindsTheRenewableCertificate) {
    RunStatusCheck();
    const StatusOutcome status = window_.Status();
    EXPECT_TRUE(status.canGenerate);
    EXPECT_FALSE(status.canDownload);
    EXPECT_FALSE(AskForDn());
    EXPECT_FALSE(status.statusText.empty());
    ASSERT_EQ(status.renewableStore.size(), 1u);
    EXPECT_EQ(SerialNumberText(status.renewableStore[0].der), oldSerial_);
    EXPECT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(window_.StepTexts(), ElementsAre(130, 138));
    EXPECT_EQ(window_.EventsStartingWith("progress"), std::vector<std::string>{"progress -1"});
    // The query names the certificate, lower-case as the wizard writes serial numbers.
    EXPECT_THAT(SimLogWith("serial=" + oldSerial_), HasSubstr("?serial=" + oldSerial_));
}

TEST_F(FlowTest, IssuersAreFetchedOncePerProcessAndAskForDnIsRead) {
    const std::size_t logStart = LogText().size();
    RunStatusCheck();
    SetScenario(R"({"ask4dn": "1", "fields": "C=RO\nCN=Ion Popescu\n"})");
    RunStatusCheck();
    EXPECT_TRUE(AskForDn());
    // Both checks probed the rekey host; only the first read its issuer list.
    const std::string log = LogText().substr(logStart);
    EXPECT_EQ(Count(log, "[Init] SendReq"), 2);
    EXPECT_EQ(Count(log, "[Init][Sending Request] Cert requested"), 2);
    EXPECT_EQ(Count(log, "[GetAcceptedIssuers] Query Issuers"), 1);

    SetScenario(R"({"ask4dn": "10"})");
    RunStatusCheck();
    EXPECT_FALSE(AskForDn());
}

TEST_F(FlowTest, SeveralCertificatesGoInOneQuery) {
    const CommandResult second = ProvisionToken(sim_->stateDir(), SoftHsmLibrary(), kLabel, kPin,
                                                "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    ASSERT_EQ(second.status, 0) << second.err;
    const std::string secondSerial = second.out.substr(0, second.out.find('\n'));
    RunStatusCheck();
    EXPECT_EQ(window_.Status().renewableStore.size(), 2u);
    const std::string log = SimLogWith("&serial=");
    EXPECT_TRUE(log.find("?serial=" + oldSerial_ + "&serial=" + secondSerial) !=
                    std::string::npos ||
                log.find("?serial=" + secondSerial + "&serial=" + oldSerial_) != std::string::npos)
        << log;
}

TEST_F(FlowTest, FailedStatusCheckOffersRetryAndCancelEndsTheProgram) {
    SetScenario(R"({"force": {"path": "/public/rest/certificate/status", "status": 503,
                              "body": "Serviciu indisponibil"}})");
    window_.resultAnswers = {kIdRetry, kIdCancel};
    RunStatusCheck();
    EXPECT_THAT(window_.results, ElementsAre(ERR_SERVER, ERR_SERVER));
    EXPECT_EQ(window_.EventsStartingWith("result 10 0 5").size(), 2u);
    EXPECT_EQ(window_.EventsStartingWith("quit").size(), 1u);
    EXPECT_TRUE(window_.EventsStartingWith("press").empty());
}

TEST_F(FlowTest, LaunchLinkPressesItsButtonOnceWhenAllowed) {
    window_.launchLink = "quorvaneenroll://register/";
    RunStatusCheck();
    EXPECT_EQ(window_.EventsStartingWith("press"), std::vector<std::string>{"press 1000"});
    RunStatusCheck();  // the link is used up
    EXPECT_EQ(window_.EventsStartingWith("press").size(), 1u);

    window_.Clear();
    window_.launchLink = "quorvaneenroll://download/";  // nothing to install yet
    RunStatusCheck();
    EXPECT_TRUE(window_.EventsStartingWith("press").empty());
    window_.launchLink = "quorvaneenroll://register";  // not the exact link
    RunStatusCheck();
    EXPECT_TRUE(window_.EventsStartingWith("press").empty());
}

TEST_F(FlowTest, NoTokenAndTwoTokens) {
    hsm_.WriteModuleList({"/nonexistent/libnothing.so"});
    window_.resultAnswers = {kIdCancel};
    RunStatusCheck();
    EXPECT_THAT(window_.results, ElementsAre(ERR_NO_TOKEN));

    hsm_.InitToken("Second", "1234");
    hsm_.WriteModuleList({SoftHsmLibrary()});
    window_.resultAnswers = {kIdCancel};
    RunStatusCheck();
    EXPECT_THAT(window_.results, ElementsAre(ERR_NO_TOKEN, ERR_MULTIPLE_TOKENS));
}

}  // namespace
}  // namespace qe::test
