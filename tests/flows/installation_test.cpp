#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "flows/download.h"
#include "flows/sign_and_install.h"
#include "log/temp_dir.h"
#include "reminder/expiry_notice.h"
#include "support/outside_step.h"
#include "support/test_pki.h"

// The download and the installation end to end, and what the installation leaves when it fails.
namespace qe::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class DownloadTest : public FlowTest {
protected:
    // A registered request, so an issued certificate waits for this token.
    void SetUp() override {
        FlowTest::SetUp();
        RunFlow(1, kPin);
        ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
        old_ = TokenCertificates().at(0);
    }

    bool Installed() const { return Order()["installed"].toBool(); }
    // The installation of `certificate` outside a step, where each cycle initialises the library
    // (so a swapped token shows).
    ErrorId Install(const Bytes& certificate) {
        StepContext install(window_, test::NoTokenStep());
        return SignAndInstall(install, window_, certificate, true);
    }

    Bytes old_;
};

// The installation's confirmation (the download's seventh connection to the API host, its last)
// served, then answered by a reset or a gateway's page: the certificate is on the token, and the
// customer reads that it is, not a failure.
class ConfirmationLost : public DownloadTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ConfirmationLost, AfterTheAuthorityRecordedItTheCertificateIsToldAsInstalled) {
    ASSERT_EQ(
        sim_->SetFault(R"({"listener": "api", "connection": 7, "kind": ")" + GetParam() + "\"}"),
        200);
    RunFlow(2, kPin);
    EXPECT_THAT(window_.results, ElementsAre(ERR_INSTALLED_UNCONFIRMED)) << sim_->Exchanges();
    EXPECT_TRUE(Installed());
    EXPECT_THAT(TokenCertificates(), Contains(sim_->IssuedCertificate()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConfirmationLost, ::testing::Values("lost", "gateway"));

// The whole renewal (on tokens that behave otherwise: the quirks test).
TEST_F(FlowTest, AcceptedCertificateReplacesTheOldOneOnTheToken) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    // One library cycle a step, whatever the TLS signatures, and one login: the status check's
    // (which needs none) and the register's.
    const std::vector<std::string> cycle = {"C_Initialize", "C_Login", "C_Logout", "C_Finalize"};
    RunFlow(1, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(CallNames(hsm_.RecordedCalls(), cycle),
                ElementsAre("C_Initialize", "C_Finalize", "C_Initialize", "C_Login", "C_Logout",
                            "C_Finalize"));
    SetScenario(R"({"segments": 7})");
    std::vector<std::string> previews;
    Bytes accepted;
    window_.acceptance = [&](const Bytes& certificate, const std::string& pdf,
                             const std::string& jpeg) {
        accepted = certificate;
        for (const std::string& path : {pdf, jpeg}) {
            struct stat st {};
            EXPECT_EQ(stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            previews.push_back(path.substr(path.rfind('/')) + " " + ReadFile(path).substr(0, 4));
        }
        return AcceptanceOutcome{0, true};
    };
    hsm_.ClearRecord();
    RunFlow(2, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(CallNames(hsm_.RecordedCalls(), cycle),
                ElementsAre("C_Initialize", "C_Login", "C_Logout", "C_Finalize"));
    EXPECT_THAT(window_.Events(),
                ElementsAre("busy", "progress 0", "step 130", "progress 5", "step 134", "pin",
                            "progress 40", "step 135", "progress 60", "acceptance", "step 130",
                            "progress 65", "step 143", "progress 70", "step 144", "progress 80",
                            "step 145", "progress 90", "step 146", "progress 95", "step 147",
                            "progress 100", "result 0", "done", "start-status-check"));
    // The previews, in the first free names of the temporary directory, gone with the dialog.
    const std::string temp = TempDir();
    EXPECT_THAT(previews, ElementsAre("/quorvaneEnrollPV0.pdf %PDF",
                                      "/quorvaneEnrollPV0.jpg \xFF\xD8\xFF\xE0"));
    for (const char* name : {"/quorvaneEnrollPV0.pdf", "/quorvaneEnrollPV0.jpg"}) {
        EXPECT_NE(access((temp + name).c_str(), F_OK), 0) << name;
    }
    // On the token only the new certificate (how its keys are named: the token objects' test).
    ASSERT_THAT(TokenCertificates(), ElementsAre(accepted));
    const QJsonObject order = Order();
    EXPECT_TRUE(order["signatureVerified"].toBool() && order["installed"].toBool());
    // Nothing left to install; the new certificate is the one to renew next.
    RunStatusCheck();
    EXPECT_FALSE(window_.Status().canDownload);
    EXPECT_EQ(window_.Status().renewableStore.at(0).der, accepted);
    // The reminder remembers both; past both ends it speaks only of the new one.
    const CertificateMemory memory = LoadCertificateMemory(CertificateMemoryPath());
    ASSERT_EQ(memory.certificates.size(), 2u);
    const auto due = DueNotices(memory, std::time(nullptr) + 4000 * 24 * 3600);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(memory.certificates[due[0].certificate].serial, SerialNumberText(accepted));
    sim_->Stop();
    EXPECT_THAT(sim_->Log(), HasSubstr("GET /public/rest/sign/preview?type=jpeg&width=600 200"));
}

TEST_F(DownloadTest, DeclinedOrFailedDownloadsLeaveTheTokenAsItWas) {
    struct Case {
        std::string scenario;
        const char* pin;
        int endCode;
        ErrorId id;
        std::wstring text;
        std::size_t acceptances, freezes;
        bool diskFull = false;  // the declaration cannot be written whole
    };
    const Case cases[] = {
        {"", kPin, 1, ERR_CANCELLED, L"", 1, 0},  // the declaration refused
        {"", "0000", 0, ERR_WRONG_PIN, L"Codul PIN este incorect.", 0, 1},
        {"", "", 0, ERR_CANCELLED, L"", 0, 1},
        {R"("foreignKeyFrom": "/public/rest/sign/preview?type=pdf")", kPin, 0, ERR_SERVER,
         L"Eroare de server", 0, 1},
        {R"("force": {"path": "/public/rest/sign/pv", "method": "POST", "status": 503,
                      "body": "Serviciu indisponibil"})",
         kPin, 0, ERR_SERVER, L"Serviciu indisponibil", 1, 1},
        {"", kPin, 0, ERR_DECLARATION_UNSHOWN, ErrorText(ERR_DECLARATION_UNSHOWN), 0, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario + c.pin);
        SetScenario("{" + c.scenario + "}");
        window_.acceptance = [&c](auto&&...) { return AcceptanceOutcome{c.endCode, true}; };
        const rlimit full{1024, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, c.diskFull ? &full : &unlimited);
        RunFlow(2, c.pin);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_THAT(window_.results, ElementsAre(c.id));
        EXPECT_EQ(window_.shown.at(0).text, c.text);
        EXPECT_EQ(window_.Events("acceptance").size(), c.acceptances);
        EXPECT_EQ(window_.Events("freeze").size(), c.freezes);
        // A wrong PIN is forgotten, so the next try asks again.
        EXPECT_EQ(window_.Events("clear-pin").size(), c.id == ERR_WRONG_PIN ? 1u : 0u);
        EXPECT_THAT(TokenCertificates(), ElementsAre(old_));
        EXPECT_FALSE(Installed());
    }
    // Keeping the old certificate: both last step texts still shown, the bar from 90 to 100.
    SetScenario("{}");
    window_.acceptance = [](auto&&...) { return AcceptanceOutcome{0, false}; };
    RunFlow(2, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_EQ(TokenCertificates().size(), 2u);
    const std::vector<std::string> events = window_.Events();
    EXPECT_THAT(
        std::vector<std::string>(events.end() - 8, events.end() - 2),
        ElementsAre("step 145", "progress 90", "step 146", "step 147", "progress 100", "result 0"));
    sim_->Stop();
    EXPECT_THAT(sim_->Log(), ::testing::Not(HasSubstr("/public/rest/certificate/old")));
}

// After the download: the certificate cannot be written, or the token fails or changes, at each
// step of the installation. The old certificate stays and the authority hears of nothing.
TEST_F(DownloadTest, InstallationFailuresKeepTheOldCertificate) {
    hsm_.InitToken("Second", kPin);
    const std::string one = "[token Second]\nabsent\n";
    hsm_.WriteFaultConfig(one);
    hsm_.WriteModuleList({FaultModuleLibrary()});
    window_.mode = 2;
    window_.pinAnswers = {kPin};  // the PIN was typed for the token through another library
    DownloadedDeclaration declaration;
    {
        StepContext context(window_, test::NoTokenStep());
        ASSERT_EQ(DownloadForAcceptance(context, window_, declaration, 600), ERR_SUCCESS);
    }
    const Bytes issued = declaration.certificate;
    const Bytes foreign = TestCa().Issue(SharedKey(), {{"CN", "Ion Popescu"}}, {0x42});
    const Bytes empty{0x30, 0x00};  // a SEQUENCE with nothing in it
    struct Case {
        std::string fault;
        Bytes certificate;
        const char* pin;
        ErrorId id;
        std::string log = "";
        std::string faultAt80 = "";  // the token's fault once the bar reaches 80
    };
    const Case cases[] = {
        {one, empty, kPin, ERR_BAD_RESPONSE, "The new certificate cannot be read"},
        {one, foreign, kPin, ERR_KEY_NOT_FOUND,
         "The new certificate has no private key on the token"},
        // Pulled out while the certificate is written (other failures: the mapping's own test).
        {one + "fail C_CreateObject 0xE0\n", issued, kPin, ERR_NO_TOKEN,
         "InstallCertificate failed: 224"},
        {one, issued, "0000", ERR_WRONG_PIN, "Error After RequestAndDecrypt"},
        // Failing while the key is looked for is a token failure, not a missing key.
        {one, issued, kPin, ERR_TOKEN_DEVICE, "", one + "fail C_FindObjectsInit 0x30\n"},
        // The token swapped for another before the certificate is written: never to the other.
        {one, issued, kPin, ERR_NO_TOKEN, "", "[token " + std::string(kLabel) + "]\nabsent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault + c.pin + std::to_string(c.id));
        hsm_.WriteFaultConfig(c.fault);
        window_.Clear();
        window_.ClearPin();
        window_.pinAnswers = {c.pin};
        window_.onProgress = [&](int position) {
            if (position == 80 && !c.faultAt80.empty()) {
                hsm_.WriteFaultConfig(c.faultAt80);
            }
        };
        NewLogLines();
        EXPECT_EQ(Install(c.certificate), c.id);
        EXPECT_EQ(window_.Events("freeze").size(), 1u);
        if (!c.log.empty()) {
            EXPECT_THAT(NewLogLines("[Steps 3] "), Contains("[Steps 3] " + c.log));
        }
        EXPECT_EQ(Order()["signatureVerified"].toBool(), &c != cases);
        hsm_.WriteFaultConfig(one);
        EXPECT_THAT(TokenCertificates(), ElementsAre(old_));
        EXPECT_FALSE(Installed());
    }
    window_.onProgress = nullptr;

    // The authority names the certificate being installed as the old one: it stays.
    SetScenario(R"({"force": {"path": "/public/rest/certificate/installed", "status": 200}})");
    EXPECT_EQ(Install(old_), ERR_SUCCESS);
    EXPECT_THAT(TokenCertificates(), ElementsAre(old_));
    EXPECT_THAT(NewLogLines("[Steps 3] "),
                Contains("[Steps 3] The old certificate is the new one: both kept"));
    // The old certificate delivered for another key: the new one written, the old one kept.
    SetScenario(R"({"foreignKeyFrom": "/public/rest/certificate/old"})");
    EXPECT_EQ(Install(issued), ERR_SERVER);
    EXPECT_THAT(TokenCertificates(), ::testing::UnorderedElementsAre(old_, issued));
    EXPECT_FALSE(Installed());
}

}  // namespace
}  // namespace qe::test
