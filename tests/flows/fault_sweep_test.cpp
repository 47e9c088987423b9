#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include <sys/wait.h>
#include <unistd.h>

#include "e2e_fixture.h"
#include "flows/download.h"
#include "log/temp_dir.h"
#include "request/key_pair_ledger.h"
#include "sim/cert_util.h"
#include "sim/delivery_builder.h"
#include "support/connect_proxy.h"
#include "support/outside_step.h"
#include "support/test_pki.h"
#include "token/pkcs11_module.h"

// Every PKCS#11 call and every exchange of a whole register and a whole download with
// acceptance, failed or cut in turn, on a token that also holds other programs' objects: the
// invariants I1 to I7 of the README hold after each run, and one more run completes the step.
namespace qe::test {
namespace {

namespace fs = std::filesystem;

enum class Flow { Register, Download };

// One CTest test: a flow and a way the token fails, each applied at every recorded call.
struct Sweep {
    const char* name;
    Flow flow;
    const char* directive;  // "fail", "fail-after", "exit", "exit-after"; "network"
    CK_RV rv;
};

// Runs pinned to what they show since a fix; their invariants must hold as well.
struct Pinned {
    const char* sweep;  // a sweep's name
    const char* call;
    unsigned index;  // the occurrence among the calls of that name
    int shown;
    const char* reason;
};
const Pinned kPinned[] = {
    {"register_removed", "C_GetSessionInfo", 1, ERR_TOKEN_DEVICE,
     "the PIN gate's token failure was shown as its raw code, a text the catalogue lacks"},
    {"register_removed", "C_SignInit", 0, ERR_NO_TOKEN,
     "a token pulled out during the TLS login was told as a broken connection"},
    {"register_removed", "C_Finalize", 0, ERR_SUCCESS,
     "a failed C_Finalize left the library initialised and every later cycle failing on it"},
    {"register_lost", "C_GenerateKeyPair", 0, ERR_OLD_DRIVER,
     "a key pair made although the token's answer was lost stayed on the token for nothing"},
    {"download_lost", "C_FindObjectsInit", 9, ERR_TOKEN_DEVICE,
     "a failed look for the new certificate kept the old one and still said done"},
};

// What a customer may be shown when the token fails: its own texts, never a server's (18 to 25
// are all the token's).
bool IsTokenText(ErrorId id) {
    return (id >= ERR_TOKEN_NOT_INITIALISED && id <= ERR_KEY_NOT_PROTECTED) ||
           std::set<ErrorId>{ERR_SUCCESS,
                             ERR_NO_TOKEN,
                             ERR_BAD_CERT_OR_PASSWORD,
                             ERR_KEYGEN_FAILED,
                             ERR_TOKEN_DEVICE,
                             ERR_KEY_NOT_FOUND,
                             ERR_WRONG_PIN,
                             ERR_TOKEN_FULL,
                             ERR_OLD_DRIVER,
                             ERR_NO_ROOM_FOR_CERTIFICATE,
                             ERR_KEYGEN_NEEDS_ADMIN,
                             ERR_LOGIN_REFUSED,
                             ERR_TOKEN_SLOTS}
                   .count(id) != 0;
}
constexpr unsigned kRunSeconds = 120;  // a run that takes longer hangs
constexpr int kKilled = 77;            // the fault module's exit status

Bytes CertificateModulus(const Bytes& der) {
    const X509Ptr certificate = sim::CertificateFromDer(der);
    return certificate ? sim::RsaModulus(X509_get0_pubkey(certificate.get())) : Bytes();
}
Bytes RequestKey(const QJsonValue& pem) {
    return sim::RsaModulus(
        X509_REQ_get0_pubkey(ParseRequestPem(pem.toString().toStdString()).get()));
}

class FaultSweep : public FlowTest, public ::testing::WithParamInterface<Sweep> {
protected:
    void SetUp() override {
        otherPrograms_ = true;
        FlowTest::SetUp();
        hsm_.WriteModuleList({FaultModuleLibrary()});
        // A register meets the key pair of a certificate waiting for download.
        RunStatusCheck();
        old_ = window_.Status().renewableStore.at(0).der;
        ASSERT_TRUE(Run(Flow::Register));
        RunStatusCheck();
        request_ = RequestKey(Order()["requests"][0]);
        window_.Network().limits = {10, 10, 120};  // a silent server is given up on soon
        fs::copy(Tokens(), dir_ / "snapshot", fs::copy_options::recursive);
        state_ = sim_->ControlState();
        start_ = Look();
    }

    std::string Tokens() const { return hsm_.dir() + "/tokens"; }

    // SoftHSM2 still initialised in the process after a run (a C_Finalize that failed before the
    // library saw it) is finalised, as the end of the program would; true when it was.
    static bool FinalizeLeftover() {
        Pkcs11Module softhsm;
        return softhsm.Load(SoftHsmLibrary(), test::NoTokenStep()) == CKR_OK &&
               softhsm.fn()->C_Finalize(nullptr) == CKR_OK;
    }

    // The token, the authority and the key pair ledger (empty then) as they were before the flow.
    void Restore() {
        FinalizeLeftover();
        fs::remove(StateDir() + "/key-pairs");
        fs::remove_all(Tokens());
        fs::copy(dir_ / "snapshot", Tokens(), fs::copy_options::recursive);
        ASSERT_EQ(sim_->SetState(state_), 200);
    }
    void Configure(const std::string& rule) {
        fs::remove(dir_ / "seen");
        hsm_.WriteFaultConfig("seen-file " + (dir_ / "seen") + "\n" + rule);
    }
    std::size_t Requests() const {
        return static_cast<std::size_t>(Order()["requests"].toArray().size());
    }

    // One run of the flow's command as a new start of it would; true when success was shown.
    bool Run() { return Run(GetParam().flow); }
    bool Run(Flow flow) {
        window_.ClearPin();
        window_.Clear();
        window_.pinAnswers = {kPin};
        window_.mode = flow == Flow::Register ? 1 : 2;
        alarm(kRunSeconds);
        (flow == Flow::Register ? RegisterThread : DownloadThread)(window_);
        alarm(0);
        return std::count(window_.results.begin(), window_.results.end(), ERR_SUCCESS) != 0;
    }

    // What the token and the authority hold: keys by modulus (the ledger's apart), every object.
    struct View {
        std::set<Bytes> keys;
        std::set<Bytes> ledgerKeys;
        std::vector<Bytes> certificates;
        std::vector<std::string> objects;
        QJsonObject order;  // without the headers of the last request
        bool operator==(const View&) const = default;
    };
    View Look() const {
        View view;
        view.certificates = TokenCertificates();
        std::sort(view.certificates.begin(), view.certificates.end());
        SoftHsm::Session session(kLabel, kPin);
        std::set<Bytes> recorded;
        for (const LedgerEntry& entry : LoadKeyPairLedger()) {
            recorded.insert(entry.id);
        }
        for (CK_OBJECT_HANDLE key : session.Find(CKO_PRIVATE_KEY)) {
            view.keys.insert(session.Attribute(key, CKA_MODULUS));
            if (recorded.count(session.Attribute(key, CKA_ID)) != 0) {
                view.ledgerKeys.insert(session.Attribute(key, CKA_MODULUS));
            }
        }
        view.objects = session.Objects();
        view.order = Order();
        view.order.remove("lastHeaders");
        return view;
    }

    // The invariants that do not hold on the token and at the authority now, and "as before"
    // when both are as they were before the flow. A killed run is not held to I3: it could not
    // remove what it made; nor is a pair the key pair ledger names (the next register's to remove).
    std::vector<std::string> Broken(bool shownSuccess, std::size_t requestsBefore,
                                    bool killed = false) const {
        const View now = Look();
        const auto holds = [&](const Bytes& der) {
            return std::count(now.certificates.begin(), now.certificates.end(), der) != 0;
        };
        const auto keyOf = [&](const Bytes& modulus) { return now.keys.count(modulus) != 0; };
        const QJsonArray requests = now.order["requests"].toArray();
        std::set<Bytes> known = start_.keys;
        known.insert(now.ledgerKeys.begin(), now.ledgerKeys.end());
        for (const QJsonValue& pem : requests) {
            known.insert(RequestKey(pem));
        }
        const Bytes issuedDer = sim_->IssuedCertificate();
        const bool done = GetParam().flow == Flow::Register
                              ? static_cast<std::size_t>(requests.size()) == requestsBefore + 1 &&
                                    keyOf(RequestKey(requests.last())) && holds(old_)
                              : holds(issuedDer) && keyOf(CertificateModulus(issuedDer)) &&
                                    !holds(old_) && now.order["installed"].toBool();
        std::vector<std::string> broken;
        if (shownSuccess && !done) {
            broken.push_back("I1");
        }
        if (std::none_of(now.certificates.begin(), now.certificates.end(),
                         [&](const Bytes& der) { return keyOf(CertificateModulus(der)); })) {
            broken.push_back("I2");
        }
        if (now == start_) {
            broken.push_back("as before");
        }
        const bool stray = std::any_of(now.keys.begin(), now.keys.end(),
                                       [&](const Bytes& key) { return known.count(key) == 0; });
        const auto twice = std::adjacent_find(now.certificates.begin(), now.certificates.end());
        if (!killed && (stray || twice != now.certificates.end())) {
            broken.push_back("I3");
        }
        // I6: all stays but what a download replaces (the old certificate, its pair's names).
        for (const std::string& object : start_.objects) {
            const bool replaced = GetParam().flow == Flow::Download &&
                                  (object.find(ToHexLower(old_)) != std::string::npos ||
                                   object.find(ToHexLower(request_)) != std::string::npos);
            if (!replaced && std::count(now.objects.begin(), now.objects.end(), object) <
                                 std::count(start_.objects.begin(), start_.objects.end(), object)) {
                broken.push_back("I6 (" + object.substr(0, 60) + ")");
            }
        }
        if (!issuedDer.empty() && !now.order["installed"].toBool() &&
            !keyOf(CertificateModulus(issuedDer))) {
            broken.push_back("I7");
        }
        return broken;
    }

    // Previews a killed run left that a next start of the program does not remove.
    static bool PreviewsLeft() {
        RemoveLeftPreviews();
        for (const auto& entry : fs::directory_iterator(PrivateTempDir().value())) {
            if (entry.path().filename().string().rfind("quorvaneEnrollPV", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    View start_;
    Bytes old_;
    Bytes request_;  // the key of the request waiting for download
    std::string state_;
};

std::string RvHex(CK_RV rv) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", rv);
    return text;
}

TEST_P(FaultSweep, EveryCallKeepsAWorkingCertificate) {
    const Sweep& sweep = GetParam();
    const bool kill = std::string(sweep.directive).rfind("exit", 0) == 0;
    const bool network = std::string(sweep.directive) == "network";
    const auto start = std::chrono::steady_clock::now();
    // Each fault: the simulator's network fault or a rule of the fault module's to add, and the
    // path or call it hits.
    std::vector<std::tuple<std::string, std::string, unsigned>> faults;
    std::optional<ConnectProxy> proxy;  // the network's faults reach the wizard through a proxy
    std::optional<ScopedEnv> proxyVariable;
    if (network) {
        proxy.emplace();
        proxyVariable.emplace("https_proxy",
                              ("http://127.0.0.1:" + std::to_string(proxy->port())).c_str());
        // The exchanges of one whole run as the authority saw them, each failed each way.
        sim_->SetFault("{}");
        ASSERT_TRUE(Run());
        for (const QJsonValue exchange :
             QJsonDocument::fromJson(QByteArray::fromStdString(sim_->Exchanges())).array()) {
            for (const char* kind : {"refuse", "reset", "silent", "lost", "gateway", "frontend"}) {
                QJsonObject fault = exchange.toObject();
                fault["kind"] = kind;
                faults.emplace_back(
                    QJsonDocument(fault).toJson(QJsonDocument::Compact).toStdString(),
                    fault["target"].toString().toStdString(), 0);
            }
        }
        EXPECT_GT(proxy->Requests(1), 0);
    } else {
        Configure("");
        hsm_.ClearRecord();
        ASSERT_TRUE(Run());
        std::map<std::string, unsigned> seen;
        std::string searchAfter;
        for (const RecordedCall& call : hsm_.RecordedCalls()) {
            faults.emplace_back("", call.name, seen[call.name]++);
            if (call.name == "C_GenerateKeyPair" && searchAfter.empty()) {
                searchAfter = std::to_string(seen["C_FindObjectsInit"]);
            }
        }
        // After a generation whose answer was lost the search fails too: nothing unproven may go.
        if (std::string(sweep.name) == "register_lost") {
            faults.emplace_back("fail C_FindObjectsInit 0x30 skip " + searchAfter + " times 1\n",
                                "C_GenerateKeyPair", 0);
        }
    }
    const char* scale = std::getenv("QE_SWEEP_STRIDE");
    const std::size_t stride =
        std::getenv("QE_SWEEP_ALL") == nullptr && scale != nullptr ? std::stoul(scale) : 1;
    std::size_t runs = 0, checks = 0, failures = 0, recoveries = 0, pinned = 0;
    for (std::size_t i = 0; i < faults.size(); i += network ? 1 : stride) {
        const auto& [given, call, index] = faults[i];
        std::vector<CK_RV> answers = {sweep.rv};
        if (call == "C_Login" && sweep.rv == CKR_FUNCTION_FAILED) {
            answers.push_back(CKR_PIN_INCORRECT);
        }
        for (const CK_RV rv : answers) {
            Restore();
            const std::string skip = " skip " + std::to_string(index);
            const std::string rule =
                network ? given
                : kill  ? "exit " + call + (sweep.directive[4] != '\0' ? " after" : "") + skip
                       : given + sweep.directive + " " + call + " " + RvHex(rv) + skip + " times 1";
            std::size_t before = Requests();
            const Bytes issuedBefore = sim_->IssuedCertificate();
            Configure(network ? "" : rule + "\n");
            sim_->SetFault(network ? given : "{}");
            std::vector<std::string> broken;
            bool success = false;
            if (kill) {
                const pid_t child = fork();
                if (child == 0) {
                    Run();     // the run's alarm ends it when it hangs
                    _exit(0);  // the call was never reached: nothing of the test may end here
                }
                int status = 0;
                waitpid(child, &status, 0);
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                if (code != kKilled) {
                    broken.push_back("I5 (the run ended with " + std::to_string(code) + ")");
                }
                Configure("");
                if (PreviewsLeft()) {
                    broken.push_back("I3 (previews left)");
                }
                const std::vector<std::string> left = Broken(false, before, true);
                broken.insert(broken.end(), left.begin(), left.end());
                checks += 4;
            } else {
                success = Run();
                Configure("");
                if (FinalizeLeftover()) {
                    std::printf("sweep %s: %s left the library initialised\n", sweep.name,
                                rule.c_str());
                }
                broken = Broken(success, before);
                for (const ErrorId id : window_.results) {
                    // The network's failures are never told as the token's, and the reverse.
                    if (network ? id != ERR_SUCCESS && IsTokenText(id) : !IsTokenText(id)) {
                        broken.push_back("I5 (shown " + std::to_string(id) + ")");
                    }
                }
                // An upload that may have arrived is told so; one that provably did not, not.
                const ErrorId told =
                    given.find("refuse") == given.npos ? ERR_REQUEST_UNANSWERED : ERR_CONNECTION;
                if (call == "/rest/certificate/pkcs10" && window_.results != std::vector{told}) {
                    broken.push_back("I5 (the upload's outcome told wrongly)");
                }
                checks += 7;
            }
            ++runs;
            std::string shown;
            for (const ErrorId id : window_.results) {
                shown += " " + std::to_string(id);
            }
            // A run that left everything as it was recovers as the recorded run did.
            const auto same = std::find(broken.begin(), broken.end(), "as before");
            const bool unchanged = same != broken.end();
            if (unchanged) {
                broken.erase(same);
            }
            if (!success && !unchanged && sim_->IssuedCertificate() != issuedBefore) {
                // A certificate issued unannounced: the status offers it, its download installs it.
                RunStatusCheck();
                ++recoveries;
                if (!Run(Flow::Download) || !Order()["installed"].toBool()) {
                    broken.push_back("I7 (the issued certificate could not be installed)");
                }
            } else if (!success && !unchanged && !Order()["installed"].toBool()) {
                // Unless the authority recorded the installation, one more run completes it.
                before = Requests();
                const bool recovered = Run();
                const std::vector<std::string> after = Broken(true, before);
                ++recoveries;
                // I1, I2, I3 and I6 hold after it.
                const auto held = [](const std::string& b) { return b.find_first_of("1236") != 1; };
                if (!recovered || !std::all_of(after.begin(), after.end(), held)) {
                    broken.push_back("I4");
                }
            }
            for (const Pinned& p : kPinned) {
                if (p.sweep == std::string(sweep.name) && p.call == call && p.index == index &&
                    given.empty()) {
                    ++pinned;
                    EXPECT_EQ(shown, " " + std::to_string(p.shown)) << rule << ": " << p.reason;
                }
            }
            failures += broken.size();
            for (const std::string& b : broken) {
                ADD_FAILURE() << sweep.name << ": " << rule << ": " << b << " broken; shown"
                              << shown;
            }
        }
    }
    // Every pinned run of this sweep was met (a sample may pass over some).
    if (stride == 1) {
        EXPECT_EQ(pinned, std::count_if(std::begin(kPinned), std::end(kPinned), [&](auto& p) {
                      return p.sweep == std::string(sweep.name);
                  }));
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::printf(
        "sweep %s: %zu calls recorded, %zu swept, %zu faults, %zu runs, %zu of %zu "
        "invariant checks held (0 noted exceptions), %zu recovery runs, %lld s\n",
        sweep.name, faults.size(), (faults.size() + stride - 1) / stride, runs, runs,
        checks - failures, checks, recoveries, static_cast<long long>(seconds));
}

// Every call, unless QE_SWEEP_STRIDE asks for every n-th (the sanitizer build) and QE_SWEEP_ALL
// is not set.
INSTANTIATE_TEST_SUITE_P(
    Sweeps, FaultSweep,
    ::testing::Values(Sweep{"register_removed", Flow::Register, "fail", CKR_DEVICE_REMOVED},
                      Sweep{"register_device", Flow::Register, "fail", CKR_DEVICE_ERROR},
                      Sweep{"register_failed", Flow::Register, "fail", CKR_FUNCTION_FAILED},
                      Sweep{"register_lost", Flow::Register, "fail-after", CKR_DEVICE_ERROR},
                      Sweep{"register_kill", Flow::Register, "exit", CKR_OK},
                      Sweep{"register_kill_after", Flow::Register, "exit-after", CKR_OK},
                      Sweep{"download_removed", Flow::Download, "fail", CKR_DEVICE_REMOVED},
                      Sweep{"download_device", Flow::Download, "fail", CKR_DEVICE_ERROR},
                      Sweep{"download_failed", Flow::Download, "fail", CKR_FUNCTION_FAILED},
                      Sweep{"download_lost", Flow::Download, "fail-after", CKR_DEVICE_ERROR},
                      Sweep{"download_kill", Flow::Download, "exit", CKR_OK},
                      Sweep{"download_kill_after", Flow::Download, "exit-after", CKR_OK},
                      Sweep{"register_network", Flow::Register, "network", CKR_OK},
                      Sweep{"download_network", Flow::Download, "network", CKR_OK}),
    [](const ::testing::TestParamInfo<Sweep>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace qe::test
