// TLS 1.2 exchanges with a client certificate on the token, against the simulator's rekey host.
// Each exchange is what every register request does: a first attempt without a certificate, the
// server asks for one, the retry presents the token's certificate and the token signs the
// handshake. The token offers no raw RSA (hidden by the fault-injecting module, as many tokens in
// the field do), so the wizard keeps to PKCS#1 v1.5 signatures and TLS 1.2. The PIN is cached, so
// only the wizard, the token and the network are timed. A plain program, not Google Benchmark:
// the figure that matters is the spread, and every exchange is printed.
//
//   tls_bench [--runs N]   N exchanges (default 20); last line "max/median: X"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/hosts.h"
#include "net/https_client.h"
#include "net/token_client_certificate.h"
#include "sim/sim_process.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

constexpr const char* kPin = "1234";
constexpr const char* kLabel = "Ion Popescu";

void Require(bool condition, const std::string& what) {
    if (!condition) {
        throw std::runtime_error(what);
    }
}

// The window's PIN side with the PIN already typed.
class TypedPin : public PinPort {
public:
    Secret CachedPin() override { return Secret(kPin); }
    void AskPin() override {}
    void ClearPin() override {}
};

int Run(int runs) {
    test::ScopedDir dir("tls-bench");
    test::ScopedDir temp("tls-bench-tmp");
    setenv("TMPDIR", temp.path().c_str(), 1);  // the wizard's log
    test::SoftHsm hsm;
    hsm.InitToken(kLabel, kPin);
    const std::string state = dir / "sim";
    const test::CommandResult provisioned = test::ProvisionToken(
        state, test::SoftHsmLibrary(), kLabel, kPin, "C=RO,O=Firma Exemplu SRL,CN=Ion Popescu");
    Require(provisioned.status == 0, "provision-token failed: " + provisioned.err);
    test::SimProcess sim(state);
    setenv("SSL_CERT_FILE", sim.caPath().c_str(), 1);
    Endpoint rekey;
    Require(ParseEndpoint(sim.rekey(), rekey), "unexpected rekey address " + sim.rekey());

    hsm.WriteModuleList({test::FaultModuleLibrary()});
    hsm.WriteFaultConfig("hide-mechanism CKM_RSA_X_509 CKM_RSA_PKCS_PSS\n");
    NoStep outside;
    NoNetworkStep network;
    zel_token token;
    Require(CPKI(outside).SelectToken(token) == CKR_OK, "no token");
    std::vector<TokenCertificate> store;
    Require(GetSmartCardStore(outside, token, store) == 0 && store.size() == 1,
            "the token does not hold exactly one certificate");

    std::printf(
        "Quorvane Enroll: %d TLS 1.2 exchanges with a client certificate on SoftHSM2 (RSA 2048,\n"
        "PKCS#1 v1.5 only) against quorvane-authority-sim's rekey host; ms per exchange\n"
        "(GET / refused, certificate requested, retried with the certificate, answer read)\n",
        runs);
    TypedPin pins;
    std::vector<double> times;
    // One exchange first, not timed: the first load of the token's library and of OpenSSL's
    // tables is start-up, not an exchange.
    for (int i = -1; i < runs; ++i) {
        TokenClientCertificate certificate(outside, store.front(), pins);
        CHttpsClient client(network);
        const std::wstring host(rekey.host.begin(), rekey.host.end());
        Require(client.Connect(host, rekey.port) == ERR_SUCCESS, "Connect failed");
        Bytes body;
        const auto start = std::chrono::steady_clock::now();
        const ErrorId sent = client.SendRequest(L"/", nullptr, &certificate);
        const ErrorId received = sent == ERR_SUCCESS ? client.ReceiveResponse(body) : sent;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        Require(received == ERR_SUCCESS,
                "exchange " + std::to_string(i + 1) + " failed with " + std::to_string(received));
        Require(client.LastTlsVersion() == "TLSv1.2",
                "exchange carried on " + client.LastTlsVersion() + ", not TLS 1.2");
        if (i >= 0) {
            times.push_back(ms);
            std::printf("exchange %2d: %7.1f\n", i + 1, ms);
        }
    }
    sim.Stop();

    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    const double median =
        sorted.size() % 2 != 0 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    std::printf("median ms: %.1f\nmax ms: %.1f\nmax/median: %.2f\n", median, sorted.back(),
                sorted.back() / median);
    return 0;
}

}  // namespace
}  // namespace qe

int main(int argc, char** argv) {
    int runs = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: tls_bench [--runs N]\n");
            return 2;
        }
    }
    try {
        return qe::Run(runs);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tls_bench: %s\n", error.what());
        return 1;
    }
}
