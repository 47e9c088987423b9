// The enrollment flows end to end, timed: the status check, the register flow (RSA 2048) and the
// download-and-install flow, each run several times against the authority simulator on a private
// SoftHSM2 token, behind the scripted window of the end-to-end tests. Every run starts from the
// state a customer would be in; whatever prepares it (a register before each download) is not
// timed. A plain program, not Google Benchmark: each run needs fresh state on both sides.
//
//   flows_bench [--runs N]               the three flows, N runs each (default 5)
//   flows_bench --register-only N        the register flow only; last line "register median ms: X"
//   flows_bench ... --direct             the wizard loads SoftHSM2 itself (no call record)
//   flows_bench ... --calls              also the PKCS#11 time by call name
//   flows_bench ... --phases             also when each progress message came, from the start

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/x509.h>

#include "flows/e2e_fixture.h"
#include "flows/flow_support.h"
#include "flows/workers.h"
#include "net/envelope.h"
#include "net/https_client.h"
#include "sim/sim_process.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"
#include "toolkit/bytes.h"
#include "toolkit/openssl_ptr.h"

namespace qe {
namespace {

constexpr const char* kPin = "1234";
constexpr const char* kLabel = "Ion Popescu";
constexpr const char* kProvisionalPrefix = "Tarnwick";

struct Options {
    int runs = 5;
    bool registerOnly = false;
    bool direct = false;
    bool calls = false;
    bool phases = false;
};

// What one timed run cost. The PKCS#11 figures come from the fault module's call record.
struct RunCost {
    double wallMs = 0;
    double keygenMs = 0;
    double pkcs11Ms = 0;
    int loads = 0;
    std::map<std::string, double> msByCall;
    std::vector<std::pair<std::string, double>> phases;  // window message, ms from the start
};

// The scripted window, with the time of every progress message, step text, PIN request and
// result: where a run spends its time, seen from the window.
class TimedWindow : public test::ScriptedWindow {
public:
    void Start() {
        std::lock_guard lock(mutex_);
        start_ = std::chrono::steady_clock::now();
        stamps_.clear();
    }
    std::vector<std::pair<std::string, double>> Stamps() const {
        std::lock_guard lock(mutex_);
        return stamps_;
    }

    void PostNextStep() override {
        Stamp("next step");
        ScriptedWindow::PostNextStep();
    }
    void PostProgress(int position, int target, int duration) override {
        Stamp("progress " + std::to_string(position));
        ScriptedWindow::PostProgress(position, target, duration);
    }
    void AskPin() override {
        Stamp("PIN asked");
        ScriptedWindow::AskPin();
    }
    void FreezeProgress() override {
        Stamp("freeze");
        ScriptedWindow::FreezeProgress();
    }
    AcceptanceOutcome RunAcceptance(const Bytes& certificate, const std::string& pdfPath,
                                    const std::string& jpegPath) override {
        Stamp("acceptance");
        return ScriptedWindow::RunAcceptance(certificate, pdfPath, jpegPath);
    }
    int ShowResult(ErrorId id, int successText, unsigned boxFlags,
                   const StepTrace& trace) override {
        Stamp("result");
        return ScriptedWindow::ShowResult(id, successText, boxFlags, trace);
    }

private:
    void Stamp(std::string what) {
        std::lock_guard lock(mutex_);
        stamps_.emplace_back(std::move(what), std::chrono::duration<double, std::milli>(
                                                  std::chrono::steady_clock::now() - start_)
                                                  .count());
    }

    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point start_;
    std::vector<std::pair<std::string, double>> stamps_;
};

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <typename Field>
std::vector<double> Column(const std::vector<RunCost>& runs, Field field) {
    std::vector<double> values;
    for (const RunCost& run : runs) {
        values.push_back(field(run));
    }
    return values;
}

void Require(bool condition, const std::string& what) {
    if (!condition) {
        throw std::runtime_error(what);
    }
}

Bytes Modulus(const Bytes& certificateDer) {
    const unsigned char* p = certificateDer.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    Require(certificate != nullptr, "the token holds a certificate that does not parse");
    BIGNUM* n = nullptr;
    Require(
        EVP_PKEY_get_bn_param(X509_get0_pubkey(certificate.get()), OSSL_PKEY_PARAM_RSA_N, &n) == 1,
        "the certificate has no RSA modulus");
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    return modulus;
}

// One customer's world: a private SoftHSM2 with a token the simulator provisioned (a current
// certificate with e-mail and UPN), the simulator serving, the wizard pointed at both.
class World {
public:
    explicit World(bool direct) {
        setenv("TMPDIR", temp_.path().c_str(), 1);  // the wizard's log and preview files
        hsm_.InitToken(kLabel, kPin);
        hsm_.WriteModuleList({direct ? test::SoftHsmLibrary() : test::FaultModuleLibrary()});
        hsm_.WriteFaultConfig("record-time\n");
        const std::string state = dir_ / "sim";
        const test::CommandResult provisioned = test::ProvisionToken(
            state, test::SoftHsmLibrary(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu",
            "ion.popescu@example.ro", "ion.popescu@firma.local");
        Require(provisioned.status == 0, "provision-token failed: " + provisioned.err);
        sim_ = std::make_unique<test::SimProcess>(state);
        test::PointWizardAt(*sim_);
    }

    ~World() { sim_->Stop(); }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // The status check of a fresh run of the wizard: the issuer list is fetched again.
    RunCost StatusCheck() {
        PrepareRun(0);
        StatusOutcome fresh = window_.Status();
        fresh.acceptedIssuers.clear();
        window_.SetStatus(fresh);
        RunCost cost = Timed([this] { StatusCheckThread(window_); });
        Expect("status check");
        Require(window_.Status().canGenerate, "the status check offers no renewal");
        return cost;
    }

    // A register command right after the status check; the key pair it made is removed afterwards
    // so that every run finds the token as the customer has it.
    RunCost Register() {
        EnsureStatus();
        PrepareRun(1);
        RunCost cost = Timed([this] { RegisterThread(window_); });
        Expect("register");
        RemoveKeys([](const std::string& label, const Bytes&) {
            return label.rfind(kProvisionalPrefix, 0) == 0;
        });
        statusChecked_ = false;
        return cost;
    }

    // A download and installation in a fresh run, after a register and a status check (not
    // timed); the replaced certificate's key pair is removed afterwards.
    RunCost DownloadAndInstall() {
        EnsureStatus();
        PrepareRun(1);
        RegisterThread(window_);
        Expect("register before the download");
        PrepareRun(0);
        StatusCheckThread(window_);
        Expect("status check before the download");
        Require(window_.Status().canDownload, "no certificate waits for installation");
        const Bytes oldModulus = Modulus(TokenCertificates().at(0));

        PrepareRun(2);
        RunCost cost = Timed([this] { DownloadThread(window_); });
        Expect("download and installation");
        const std::vector<Bytes> certificates = TokenCertificates();
        Require(certificates.size() == 1 && Modulus(certificates[0]) != oldModulus,
                "the new certificate is not the only one on the token");
        RemoveKeys([&](const std::string&, const Bytes& modulus) { return modulus == oldModulus; });
        statusChecked_ = false;
        return cost;
    }

private:
    void EnsureStatus() {
        if (!statusChecked_) {
            PrepareRun(0);
            StatusCheckThread(window_);
            Expect("status check");
            statusChecked_ = true;
        }
    }

    // A new run of the wizard as far as the window knows: nothing cached, the PIN typed once.
    void PrepareRun(int mode) {
        window_.Clear();
        window_.ClearPin();
        window_.pinAnswers = {kPin};
        window_.mode = mode;
    }

    // The worker ends with one result; anything but success makes the figures worthless.
    void Expect(const std::string& what) {
        Require(window_.results == std::vector<ErrorId>{ERR_SUCCESS},
                what + " did not succeed (result " +
                    (window_.results.empty() ? std::string("none")
                                             : std::to_string(window_.results.front())) +
                    "); the simulator's log: " + sim_->Log().substr(0, 4000));
    }

    RunCost Timed(const std::function<void()>& work) {
        hsm_.ClearRecord();
        window_.Start();
        const auto start = std::chrono::steady_clock::now();
        work();
        RunCost cost;
        cost.phases = window_.Stamps();
        cost.wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
            const auto us = call.fields.find("us");
            const double ms = us != call.fields.end() ? std::stod(us->second) / 1000 : 0;
            cost.pkcs11Ms += ms;
            cost.msByCall[call.name] += ms;
            if (call.name == "C_GenerateKeyPair") {
                cost.keygenMs += ms;
            } else if (call.name == "C_GetFunctionList") {
                ++cost.loads;
            }
        }
        return cost;
    }

    std::vector<Bytes> TokenCertificates() const {
        test::SoftHsm::Session session(kLabel, kPin);
        std::vector<Bytes> certificates;
        for (CK_OBJECT_HANDLE object : session.Find(CKO_CERTIFICATE)) {
            certificates.push_back(session.Attribute(object, CKA_VALUE));
        }
        return certificates;
    }

    // Destroys the RSA keys (both halves) for which `remove(label, modulus)` holds.
    void RemoveKeys(const std::function<bool(const std::string&, const Bytes&)>& remove) {
        test::SoftHsm::Session session(kLabel, kPin);
        for (CK_OBJECT_CLASS keyClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
            for (CK_OBJECT_HANDLE key : session.Find(keyClass)) {
                if (remove(ToString(session.Attribute(key, CKA_LABEL)),
                           session.Attribute(key, CKA_MODULUS))) {
                    Require(session.fn()->C_DestroyObject(session.handle(), key) == CKR_OK,
                            "C_DestroyObject failed");
                }
            }
        }
    }

    test::ScopedDir dir_{"flows-bench"};
    test::ScopedDir temp_{"flows-bench-tmp"};
    test::SoftHsm hsm_;
    std::unique_ptr<test::SimProcess> sim_;
    TimedWindow window_;
    bool statusChecked_ = false;
};

void PrintHeader(const Options& options) {
    std::printf(
        "Quorvane Enroll flows on SoftHSM2 (RSA 2048) against quorvane-authority-sim, "
        "%d runs per flow\n",
        options.runs);
    if (options.direct) {
        std::printf(
            "Method: the wizard's module list names SoftHSM2 itself; only wall time is "
            "measured.\n");
    } else {
        std::printf(
            "Method: the wizard's module list names the project's fault-injecting PKCS#11 module,\n"
            "  which forwards every call to SoftHSM2 and records it with the microseconds it "
            "took.\n"
            "  keygen = time inside C_GenerateKeyPair; pkcs11 = time inside every call;\n"
            "  loads = C_GetFunctionList calls (one per library load); own = wall - keygen.\n");
    }
    std::printf(
        "  wall = the worker procedure start to end, the scripted window answering at once\n"
        "  (PIN typed once per run, declaration accepted, old certificate removed).\n"
        "  Not timed: the register and status check before each download, key clean-up.\n");
}

// The window messages of the runs with their median time from the start, and the median step
// from the message before. Runs whose messages differ are not mixed (only the first run's
// sequence is shown then).
void PrintPhases(const std::vector<RunCost>& runs) {
    const auto& first = runs.front().phases;
    std::vector<const RunCost*> alike;
    for (const RunCost& run : runs) {
        bool same = run.phases.size() == first.size();
        for (std::size_t i = 0; same && i < first.size(); ++i) {
            same = run.phases[i].first == first[i].first;
        }
        if (same) {
            alike.push_back(&run);
        }
    }
    double previous = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        std::vector<double> at;
        for (const RunCost* run : alike) {
            at.push_back(run->phases[i].second);
        }
        const double median = Median(at);
        std::printf("    %-22s at %8.1f ms  (+%.1f)\n", first[i].first.c_str(), median,
                    median - previous);
        previous = median;
    }
}

void PrintFlow(const char* name, const std::vector<RunCost>& runs, const Options& options) {
    const double wall = Median(Column(runs, [](const RunCost& r) { return r.wallMs; }));
    if (options.direct) {
        std::printf("%-18s %9.1f\n", name, wall);
        return;
    }
    std::printf("%-18s %9.1f %9.1f %9.1f %9.1f %7.0f\n", name, wall,
                Median(Column(runs, [](const RunCost& r) { return r.keygenMs; })),
                Median(Column(runs, [](const RunCost& r) { return r.pkcs11Ms; })),
                Median(Column(runs, [](const RunCost& r) { return r.wallMs - r.keygenMs; })),
                Median(Column(runs, [](const RunCost& r) { return double(r.loads); })));
    if (options.phases && !runs.empty()) {
        PrintPhases(runs);
    }
    if (options.calls) {
        std::map<std::string, std::vector<double>> byCall;
        for (const RunCost& run : runs) {
            for (const auto& [call, ms] : run.msByCall) {
                byCall[call].push_back(ms);
            }
        }
        std::vector<std::pair<double, std::string>> ranked;
        for (auto& [call, values] : byCall) {
            values.resize(runs.size(), 0);
            ranked.emplace_back(Median(values), call);
        }
        std::sort(ranked.rbegin(), ranked.rend());
        for (std::size_t i = 0; i < ranked.size() && i < 8; ++i) {
            std::printf("    %-22s %8.2f ms\n", ranked[i].second.c_str(), ranked[i].first);
        }
    }
}

void PrintRuns(const char* name, const std::vector<RunCost>& runs) {
    std::printf("%s runs (wall/keygen ms):", name);
    for (const RunCost& run : runs) {
        std::printf(" %.0f/%.0f", run.wallMs, run.keygenMs);
    }
    std::printf("\n");
}

std::vector<RunCost> Repeat(int runs, const std::function<RunCost()>& run) {
    std::vector<RunCost> costs;
    for (int i = 0; i < runs; ++i) {
        costs.push_back(run());
    }
    return costs;
}

int RunAll(const Options& options) {
    PrintHeader(options);
    World world(options.direct);
    std::vector<RunCost> status;
    std::vector<RunCost> registers;
    std::vector<RunCost> downloads;
    if (!options.registerOnly) {
        status = Repeat(options.runs, [&] { return world.StatusCheck(); });
    }
    registers = Repeat(options.runs, [&] { return world.Register(); });
    if (!options.registerOnly) {
        downloads = Repeat(options.runs, [&] { return world.DownloadAndInstall(); });
    }

    std::printf("\nmedians            %9s", "wall ms");
    if (!options.direct) {
        std::printf(" %9s %9s %9s %7s", "keygen", "pkcs11", "own", "loads");
    }
    std::printf("\n");
    if (!options.registerOnly) {
        PrintFlow("status check", status, options);
    }
    PrintFlow("register", registers, options);
    if (!options.registerOnly) {
        PrintFlow("download+install", downloads, options);
        PrintRuns("download+install", downloads);
    }
    PrintRuns("register", registers);
    if (!options.direct) {
        std::printf(
            "register own median ms: %.1f\n",
            Median(Column(registers, [](const RunCost& r) { return r.wallMs - r.keygenMs; })));
    }
    std::printf("register median ms: %.1f\n",
                Median(Column(registers, [](const RunCost& r) { return r.wallMs; })));
    return 0;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--runs" || arg == "--register-only") && i + 1 < argc) {
            options.runs = std::atoi(argv[++i]);
            options.registerOnly = arg == "--register-only";
        } else if (arg == "--direct") {
            options.direct = true;
        } else if (arg == "--calls") {
            options.calls = true;
        } else if (arg == "--phases") {
            options.phases = true;
        } else {
            return std::nullopt;
        }
    }
    if (options.runs < 1) {
        return std::nullopt;
    }
    return options;
}

}  // namespace
}  // namespace qe

int main(int argc, char** argv) {
    const std::optional<qe::Options> options = qe::ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: %s [--runs N | --register-only N] [--direct] [--calls] [--phases]\n",
                     argv[0]);
        return 2;
    }
    try {
        return qe::RunAll(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "flows_bench: %s\n", e.what());
        return 1;
    }
}
