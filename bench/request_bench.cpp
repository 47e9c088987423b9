// A request made on a private SoftHSM2, split into its parts: the token's key generation, the
// public key read back, the wizard's own assembly of the request, and the token's signature.
#include <benchmark/benchmark.h>

#include "request/certification_request.h"
#include "request/keygen_on_token.h"
#include "request/keygen_session.h"
#include "request/pem.h"
#include "support/outside_step.h"
#include "support/softhsm.h"
#include "token/key_limits.h"
#include "token/pki.h"

namespace qe {
namespace {

const Secret& Pin() {
    static const Secret pin("1234");
    return pin;
}

// One SoftHSM2 with one token for the whole run.
struct Bench {
    Bench() {
        hsm.InitToken("Bench", "1234");
        std::vector<zel_token> tokens;
        CPKI(test::NoTokenStep()).ListTokens({test::SoftHsmLibrary()}, tokens);
        token = tokens.at(0);
    }
    test::SoftHsm hsm;
    zel_token token;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

SubjectFields Subject() {
    return SubjectFieldsFromServerFields({{"C", "RO"},
                                          {"O", "Firma Exemplu SRL"},
                                          {"OU", "Vânzări//Contabilitate"},
                                          {"CN", "Ion Popescu"},
                                          {"SN", "PNORO-1800101123456"}});
}

RequestedExtensions AltNames() {
    RequestedExtensions extensions;
    extensions.altNames.otherNameOid = kUpnOid;
    const std::string upn = "ion.popescu@firma.local";
    extensions.altNames.otherNameValue = {0x0C, static_cast<std::uint8_t>(upn.size())};
    extensions.altNames.otherNameValue.insert(extensions.altNames.otherNameValue.end(), upn.begin(),
                                              upn.end());
    extensions.altNames.rfc822Names = "ion.popescu@firma.ro";
    return extensions;
}

// A logged-in generation session with one key pair of `bits` already made.
struct ReadySession {
    explicit ReadySession(CK_ULONG bits) {
        ok = session.Open(Shared().token) == CKR_OK && session.Login(Pin()) == CKR_OK &&
             session.GenerateKeyPair(bits) == CKR_OK &&
             session.ReadPublicKey(modulus, exponent) == CKR_OK &&
             session.DescribePrivateKey() == CKR_OK;
    }
    KeygenSession session{test::NoTokenStep()};
    Bytes modulus;
    Bytes exponent;
    bool ok = false;
};

void BM_KeyGeneration(benchmark::State& state) {
    KeygenSession session(test::NoTokenStep());
    if (session.Open(Shared().token) != CKR_OK || session.Login(Pin()) != CKR_OK) {
        state.SkipWithError("no session");
        return;
    }
    for (auto _ : state) {
        if (session.GenerateKeyPair(static_cast<CK_ULONG>(state.range(0))) != CKR_OK) {
            state.SkipWithError("key generation failed");
            break;
        }
    }
}
BENCHMARK(BM_KeyGeneration)->Arg(2048)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KeyGeneration)->Arg(4096)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_PublicKeyReadBack(benchmark::State& state) {
    ReadySession ready(static_cast<CK_ULONG>(state.range(0)));
    if (!ready.ok) {
        state.SkipWithError("no key");
        return;
    }
    for (auto _ : state) {
        Bytes modulus;
        Bytes exponent;
        benchmark::DoNotOptimize(ready.session.ReadPublicKey(modulus, exponent));
    }
}
BENCHMARK(BM_PublicKeyReadBack)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

// Subject, alternative names, public key, DER of the request info, digest, the signature
// inserted (a fixed one: the token's part is measured apart), DER and PEM.
void BM_RequestAssembly(benchmark::State& state) {
    ReadySession ready(static_cast<CK_ULONG>(state.range(0)));
    if (!ready.ok) {
        state.SkipWithError("no key");
        return;
    }
    const RequestedExtensions extensions = AltNames();
    const Bytes fixedSignature(ready.modulus.size(), 0x5A);
    for (auto _ : state) {
        RequestContent content;
        content.subject = Subject();
        content.extensions = &extensions;
        content.modulus = ready.modulus;
        content.publicExponent = ready.exponent;
        Bytes der;
        const int rc = BuildCertificationRequest(
            content,
            [&fixedSignature](const Bytes&, Bytes& signature) {
                signature = fixedSignature;
                return 0;
            },
            der);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(CertificateRequestPem(der));
    }
}
BENCHMARK(BM_RequestAssembly)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);

void BM_TokenSignature(benchmark::State& state) {
    ReadySession ready(static_cast<CK_ULONG>(state.range(0)));
    if (!ready.ok) {
        state.SkipWithError("no key");
        return;
    }
    const Bytes digestInfo = Sha256DigestInfo(Bytes(600, 0x42));
    for (auto _ : state) {
        Bytes signature;
        benchmark::DoNotOptimize(ready.session.SignDigestInfo(digestInfo, signature));
    }
}
BENCHMARK(BM_TokenSignature)->Arg(2048)->Arg(4096)->Unit(benchmark::kMillisecond);

// The token's limits read in a cycle of their own before each generation.
void BM_KeyLimitsCycle(benchmark::State& state) {
    const zel_token token = Shared().token;
    for (auto _ : state) {
        RsaKeyLimits limits;
        benchmark::DoNotOptimize(ReadRsaKeyLimits(test::NoTokenStep(), token, limits));
    }
}
BENCHMARK(BM_KeyLimitsCycle)->Unit(benchmark::kMillisecond);

// Everything for one 2048-bit request, as the register flow runs it.
void BM_WholeRequest2048(benchmark::State& state) {
    const SubjectFields subject = Subject();
    const RequestedExtensions extensions = AltNames();
    for (auto _ : state) {
        std::string pem;
        if (SL_GenerateSigningKeysOnToken(test::NoTokenStep(), 2048, Shared().token, Pin(), subject,
                                          &extensions, pem) != CKR_OK) {
            state.SkipWithError("request failed");
            break;
        }
    }
}
BENCHMARK(BM_WholeRequest2048)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qe

BENCHMARK_MAIN();
