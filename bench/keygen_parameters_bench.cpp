// Reading key-generation answers as large as a body may be, in the shapes that cost a
// backtracking matcher the most. Each figure is one whole answer at the body cap.
#include <benchmark/benchmark.h>

#include <string>

#include "net/https_client.h"
#include "net/keygen_parameters.h"

namespace qe {
namespace {

// `unit` repeated up to the body cap, each copy followed by `separator`.
std::string AtBodyCap(const std::string& unit, const std::string& separator = "") {
    std::string text;
    text.reserve(CHttpsClient::kMaxBodySize);
    while (text.size() + unit.size() + separator.size() <= CHttpsClient::kMaxBodySize) {
        text += unit;
        text += separator;
    }
    return text;
}

const std::string kIndexedPrefix = "genAlgorithms.1.";

// One line: the prefix and a key without "=" to the end.
std::string OneLineWithoutEquals() {
    return kIndexedPrefix + AtBodyCap("x").substr(kIndexedPrefix.size());
}
// One line of prefixes, each a new start for the search.
std::string OneLineOfPrefixes() {
    return AtBodyCap(kIndexedPrefix);
}
// One line of "=" signs after an indexed prefix: the key runs to the last one.
std::string OneLineOfEquals() {
    return kIndexedPrefix + AtBodyCap("=").substr(kIndexedPrefix.size());
}
// 4 KiB lines without "=", each searched for both prefixes.
std::string LinesOf4KiBWithoutEquals() {
    return AtBodyCap(kIndexedPrefix + std::string(4096 - kIndexedPrefix.size() - 1, 'x'), "\n");
}
// The shortest records, as many as fit: the most lines an answer can have.
std::string ShortRecords() {
    return AtBodyCap("genAlgorithms.1.keySize=2048", "\n");
}

// The answer is built once per benchmark, outside the timing.
void BM_Parse(benchmark::State& state, std::string (*makeAnswer)()) {
    const std::string text = makeAnswer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(KeygenParameters::Parse(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK_CAPTURE(BM_Parse, one_line_without_equals, OneLineWithoutEquals)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, one_line_of_prefixes, OneLineOfPrefixes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, one_line_of_equals, OneLineOfEquals)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, lines_of_4k_without_equals, LinesOf4KiBWithoutEquals)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, short_records, ShortRecords)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qe

BENCHMARK_MAIN();
