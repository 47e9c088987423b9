// The whole renewal on one real PKCS#11 implementation, the one with-stack.sh started beside
// this program (SoftHSM2, a TPM token or opencryptoki; its library in QE_TOKEN_MODULE): the
// simulator and the flows behind a scripted window, in this process as the wizard runs them.
// The customer's key wants the PIN for every signature, as qualified keys do. Then the
// download's writes to the token and its deletions, failed or cut one at a time (the fault module
// forwarding to the stack's library): stacks differ from SoftHSM2 in what a failed write or delete
// leaves behind.
#include <cstdio>
#include <map>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include "tokens/tokens_fixture.h"

namespace qe::test {
namespace {

using ::testing::ElementsAre;

constexpr int kKilled = 77;  // the fault module's exit status
constexpr const char* kChildFilter = "--gtest_filter=TokenFaultsChild.Download";

// How a call fails: a rule of the fault module, given the call's name and its occurrence.
struct Way {
    const char* name;
    const char* rule;   // before the call's name
    const char* after;  // after the occurrence's number
};
const Way kWays[] = {
    {"removed", "fail", " 0x32"},  // CKR_DEVICE_REMOVED
    {"device", "fail", " 0x30"},   // CKR_DEVICE_ERROR
    {"failed", "fail", " 0x6"},    // CKR_FUNCTION_FAILED
    {"lost", "fail-after", " 0x6"}, {"kill", "exit", ""}, {"kill-after", "exit", " after"},
};
// The texts a token failure may show; a server's would blame the wrong party.
const std::set<ErrorId> kTokenTexts = {ERR_SUCCESS,       ERR_NO_TOKEN,
                                       ERR_TOKEN_DEVICE,  ERR_KEY_NOT_FOUND,
                                       ERR_TOKEN_FULL,    ERR_OLD_DRIVER,
                                       ERR_WRONG_PIN,     ERR_TOKEN_WRITE_PROTECTED,
                                       ERR_KEYGEN_FAILED, ERR_BAD_CERT_OR_PASSWORD};

TEST_F(TokensTest, WholeRenewalLeavesTheNewCertificateWithAProtectedKey) {
    // What support sees first: the token ready for a renewal, and the wizard's choice of it.
    const CommandResult doctor = RunCommand({QE_DOCTOR_BINARY, "--offline"});
    const std::vector<std::string> report = SplitLines(doctor.out);
    EXPECT_THAT(report, ::testing::Contains("    renewal check: ready")) << doctor.out;
    EXPECT_THAT(report, ::testing::Contains(::testing::MatchesRegex(
                            "the wizard would find: token .* \\(slot id 0x[0-9a-f]+\\) through " +
                            module_)));
    Run(1);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS)) << sim_->Log();
    Bytes issued;
    window_.acceptance = [&issued](const Bytes& certificate, auto&&...) {
        issued = certificate;
        return AcceptanceOutcome{0, true};
    };
    Run(2);
    ASSERT_THAT(window_.results, ElementsAre(ERR_SUCCESS));
    EXPECT_THAT(sim_->ControlState(), ::testing::HasSubstr(R"("installed": true)"));

    // Only the new certificate; its key pair beside the old one's, and no other key.
    const Held held = Token();
    EXPECT_THAT(held.certificates, ElementsAre(issued));
    EXPECT_EQ(held.keys.size(), 2u);
    SoftHsm::Session token(kLabel, kPin, module_);
    EXPECT_EQ(token.Find(CKO_PUBLIC_KEY).size(), 2u);
    const std::vector<CK_OBJECT_HANDLE> key = token.Find(CKO_PRIVATE_KEY, Modulus(issued));
    ASSERT_EQ(key.size(), 1u);
    // Never readable, never exportable, whatever the token's defaults are. OpenSC says no key it
    // made on a card is sensitive, and refuses its private parts as secret all the same.
    if (module_.find("opensc-pkcs11") == std::string::npos) {
        EXPECT_EQ(token.Attribute(key[0], CKA_SENSITIVE), BoolBytes(true));
    }
    EXPECT_EQ(token.Attribute(key[0], CKA_EXTRACTABLE), BoolBytes(false));
    Bytes exponent;
    EXPECT_NE(ReadAttribute(token.fn(), token.handle(), key[0], CKA_PRIVATE_EXPONENT, exponent),
              CKR_OK);

    // Nothing left to install; the new certificate is the one to renew next.
    window_.mode = 0;
    StatusCheckThread(window_);
    EXPECT_FALSE(window_.Status().canDownload);
    ASSERT_EQ(window_.Status().renewableStore.size(), 1u);
    EXPECT_EQ(window_.Status().renewableStore[0].der, issued);
}

class TokenFaults : public TokensTest {
protected:
    TokenFaults() { listed_ = FaultModuleLibrary(); }
    void SetUp() override {
        Configure("");
        TokensTest::SetUp();
    }

    void Configure(const std::string& rule) {
        WriteFile(dir_ / "fault.conf", "forward " + module_ + "\n" + rule + "\n");
    }

    // A download in a new process of this program, as a new start of the wizard: a forked copy
    // of this one would inherit the token library's D-Bus connection half made. Its exit status.
    int RunKilledDownload() {
        const pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", "tokens_test", kChildFilter, nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // The renewal is complete: the issued certificate alone, with its key, and installed.
    bool Complete(const Bytes& old, const Bytes& issued) const {
        const Held held = Token();
        return held.Usable(issued) && !held.Has(old) &&
               sim_->ControlState().find(R"("installed": true)") != std::string::npos;
    }

    ScopedEnv faults_{"QE_FAULT_PKCS11_CONFIG", (dir_ / "fault.conf").c_str()};
};

TEST_F(TokenFaults, EveryWriteAndDeleteOfADownloadKeepsAWorkingCertificate) {
    // The calls of one whole renewal's download that change the token.
    ASSERT_TRUE(Run(1)) << sim_->Log();
    Configure("record " + (dir_ / "calls.txt"));
    ASSERT_TRUE(Run(2)) << sim_->Log();
    std::vector<std::pair<std::string, unsigned>> occurrences;
    std::map<std::string, unsigned> seen;
    std::istringstream calls(ReadFile(dir_ / "calls.txt"));
    for (std::string name, rest; calls >> name && std::getline(calls, rest);) {
        if (name == "C_CreateObject" || name == "C_DestroyObject" ||
            name == "C_SetAttributeValue") {
            occurrences.emplace_back(name, seen[name]++);
        }
    }
    ASSERT_GE(seen["C_CreateObject"], 1u);
    ASSERT_GE(seen["C_DestroyObject"], 1u);

    // Under the sanitizers a fixed sample: every third fault.
    const char* stride = std::getenv("QE_SWEEP_STRIDE");
    std::size_t round = 0, faults = 0, runs = 0;
    for (const auto& [call, index] : occurrences) {
        for (const Way& way : kWays) {
            if (round++ % (stride != nullptr ? std::stoul(stride) : 1) != 0) {
                continue;
            }
            const std::string rule =
                std::string(way.rule) + " " + call +
                (way.rule[0] == 'e'
                     ? " skip " + std::to_string(index) + way.after
                     : std::string(way.after) + " skip " + std::to_string(index) + " times 1");
            SCOPED_TRACE(rule);
            Configure("");
            ASSERT_TRUE(Run(1)) << "a new request";
            ++faults;
            runs += 2;
            const Bytes issued = sim_->IssuedCertificate();
            const Bytes old = window_.Status().renewableStore.at(0).der;
            const std::vector<std::string> objects =
                SoftHsm::Session(kLabel, kPin, module_).Objects();
            Configure(rule);
            bool success = false;
            if (way.rule[0] == 'e') {
                EXPECT_EQ(RunKilledDownload(), kKilled);
            } else {
                success = Run(2);
                for (const ErrorId id : window_.results) {
                    EXPECT_EQ(kTokenTexts.count(id), 1u) << "shown " << id;
                }
            }
            Configure("");
            Held held = Token();
            if (success) {
                EXPECT_TRUE(Complete(old, issued)) << "success was shown";
            }
            EXPECT_TRUE(held.Usable(old) || held.Usable(issued)) << "no working certificate";
            EXPECT_EQ(held.keys.count(Modulus(issued)), 1u) << "I7: the issued certificate's key";
            // I6: nothing else changed but the old certificate and the names of the new pair.
            const std::vector<std::string> now = SoftHsm::Session(kLabel, kPin, module_).Objects();
            for (const std::string& object : objects) {
                if (object.find(ToHexLower(old)) == object.npos &&
                    object.find(ToHexLower(Modulus(issued))) == object.npos) {
                    EXPECT_EQ(std::count(now.begin(), now.end(), object), 1) << "I6: " << object;
                }
            }
            std::sort(held.certificates.begin(), held.certificates.end());
            EXPECT_EQ(std::adjacent_find(held.certificates.begin(), held.certificates.end()),
                      held.certificates.end())
                << "a certificate twice";
            if (!success) {
                EXPECT_TRUE(Run(2)) << "the next download";
                ++runs;
                EXPECT_TRUE(Complete(old, issued)) << "after the next download";
            }
        }
    }
    std::printf("token faults: %zu write and delete calls of a download, %zu faults, %zu runs\n",
                occurrences.size(), faults, runs);
}

// A PIV card (pcsc.sh with QE_CARD_TYPE=piv) under OpenSC or ykcs11: its keys only in fixed
// slots, made only with a management key it never accepts. The customer's certificate and key
// are put in slot 9A by the card simulator, as no PKCS#11 library writes them there.
class PivCard : public TokensTest {
protected:
    static constexpr const char* kPivPin = "471147";  // ykcs11 takes 6 to 8 characters
    void SetUp() override {
        ListModule();
        const SoftwareCustomer customer = MakeSoftwareCustomer(
            dir_ / "sim", "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu", dir_ / "customer");
        der_ = sim::CertificateDer(customer.certificate.get());
        WriteFile(dir_ / "customer.der", std::string(der_.begin(), der_.end()));
        const std::string card = std::getenv("QE_CARD_DIR");
        ASSERT_EQ(
            RunCommand({PCSC_SCRIPT, "provision", card, dir_ / "customer.der", customer.keyPath})
                .status,
            0);
        sim_ = std::make_unique<SimProcess>(dir_ / "sim");
        PointWizardAt(*sim_);
    }
    Bytes der_;
};

TEST_F(PivCard, SignsButRegisterStopsBeforeSendingAndLeavesTheCardAsItWas) {
    window_.mode = 0;
    StatusCheckThread(window_);
    ASSERT_EQ(window_.Status().renewableStore.size(), 1u) << sim_->Log();
    EXPECT_EQ(window_.Status().renewableStore[0].der, der_);

    const std::string before = ReadFile(std::getenv("QE_CARD_STATE"));
    EXPECT_FALSE(RunWizard(window_, 1, kPivPin));
    const bool ykcs11 = module_.find("ykcs11") != std::string::npos;
    // ykcs11 offers key generation, and refuses it to the user after the TLS login signed;
    // OpenSC's PIV driver offers none, and nothing is signed.
    EXPECT_THAT(window_.results, ElementsAre(ykcs11 ? ERR_KEYGEN_FIXED_SLOTS : ERR_TOKEN_NO_KEYGEN))
        << sim_->Log();
    const std::string exchanges = sim_->Exchanges();
    EXPECT_EQ(exchanges.find("keygenParameters") != std::string::npos, ykcs11) << exchanges;
    EXPECT_EQ(exchanges.find("pkcs10"), std::string::npos) << exchanges;
    EXPECT_EQ(ReadFile(std::getenv("QE_CARD_STATE")), before);
}

// The killed runs' download, in a process of its own and only when named; the world is the
// parent's, in the environment.
TEST(TokenFaultsChild, Download) {
    if ("--gtest_filter=" + GTEST_FLAG_GET(filter) != kChildFilter) {
        GTEST_SKIP() << "a part of the test above";
    }
    ScriptedWindow window;
    RunWizard(window, 2);
}

}  // namespace
}  // namespace qe::test
