// One whole PKCS#11 cycle and the token selection, on a private SoftHSM2.
#include <benchmark/benchmark.h>

#include <memory>

#include "support/outside_step.h"
#include "support/softhsm.h"
#include "token/pki.h"
#include "token/token_crypto.h"

namespace qe {
namespace {

// One SoftHSM2 with one token and one key for the whole run.
struct Bench {
    Bench() {
        hsm.InitToken("Bench", "1234");
        test::SoftHsm::Session session("Bench", "1234");
        modulus = session.GenerateRsaKeyPair(2048, "bench");
        // Names a real module list holds on a machine without those vendors' drivers, with
        // SoftHSM2 last.
        hsm.WriteModuleList({"libeTPkcs11.so", "libasepkcs.so", "libgclib.so", "libOCSCryptoki.so",
                             "libdkck201.so", "libcmP11.so", "libcvP11.so", "opensc-pkcs11.so",
                             test::SoftHsmLibrary()});
        std::vector<zel_token> tokens;
        CPKI(test::NoTokenStep()).ListTokens({test::SoftHsmLibrary()}, tokens);
        token = tokens.at(0);
    }
    test::SoftHsm hsm;
    Bytes modulus;
    zel_token token;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

// Load, initialise, find the slot by serial, open a session, read its state, close, finalise,
// unload.
void BM_TokenCycle(benchmark::State& state) {
    const zel_token token = Shared().token;
    for (auto _ : state) {
        bool loggedIn = false;
        benchmark::DoNotOptimize(CPKI(test::NoTokenStep()).IsLoggedIn(token, loggedIn));
    }
}
BENCHMARK(BM_TokenCycle)->Unit(benchmark::kMillisecond);

// The same cycle with a login and one RSA-2048 signature on the token.
void BM_TokenSignCycle(benchmark::State& state) {
    const Bytes data(1000, 0x42);
    const Secret pin("1234");
    for (auto _ : state) {
        Bytes signature;
        benchmark::DoNotOptimize(
            TokenSign(test::NoTokenStep(), Shared().token, Shared().modulus, pin, data, signature));
    }
}
BENCHMARK(BM_TokenSignCycle)->Unit(benchmark::kMillisecond);

// The module list read, eight names that fail to load, and SoftHSM2 listed.
void BM_SelectToken(benchmark::State& state) {
    Shared();
    for (auto _ : state) {
        zel_token token;
        benchmark::DoNotOptimize(CPKI(test::NoTokenStep()).SelectToken(token));
    }
}
BENCHMARK(BM_SelectToken)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qe

BENCHMARK_MAIN();
