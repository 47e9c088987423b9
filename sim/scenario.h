#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qe::sim {

// An answer given instead of the normal one for one path.
struct ForcedAnswer {
    std::string path;    // a path, or path?query to match only that query
    std::string method;  // empty: any method
    int status = 500;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What the authority answers where the contract leaves the choice to it. Set as JSON, every key
// optional:
//   {"keygen": "genAlgorithms.1.algo=RSA\ngenAlgorithms.1.keySize=2048\n",  // keygen answer
//    "ask4dn": "1",                        // the Ask4DN header (true/false stand for "1"/"0")
//    "fields": "C=RO\nO=…\nCN=…\n",        // the fields answer, and the subject when Ask4DN is 1
//    "statusText": "…",                    // replaces the status text that follows the order
//    "force": {"path": "/public/rest/sign/pv", "method": "POST", "status": 500,
//              "body": "…", "headers": {"pkcs10": " "}},
//    "foreignKeyFrom": "/public/rest/sign/preview?type=pdf",  // deliveries from this path on
//                                           // are encrypted for another key
//    "segments": 3,                        // OCTET STRING segments of every delivery
//    "clockOffset": -86400}                // seconds the Date header is off the real time
struct Scenario {
    std::string keygenText =
        "# Parametrii de generare a cheilor\n"
        "genAlgorithms.1.algo=RSA\n"
        "genAlgorithms.1.keySize=2048\n";
    std::string ask4dn = "0";
    std::string fieldsText = "C=RO\nL=București\nO=Persoană fizică\nCN=Ion Popescu\n";
    std::optional<std::string> statusText;
    std::optional<ForcedAnswer> forced;
    std::string foreignKeyFrom;
    // 0: one segment per started 1024 octets of ciphertext.
    std::size_t segments = 0;
    long clockOffset = 0;
};

// Reads a scenario; keys left out keep their defaults. Returns the empty text, or what is wrong
// (not JSON, an unknown key, a value of the wrong type or out of range) with `out` unchanged.
std::string ParseScenario(std::string_view json, Scenario& out);

// The scenario as JSON, every key written.
std::string ScenarioJson(const Scenario& scenario);

// The key sizes the keygen answer offers, in the order of its records, read by the grammar of
// that answer (lines genAlgorithms[.N].keySize=V; comments and blank lines skipped).
std::vector<int> OfferedKeySizes(std::string_view keygenText);

// Whether a request matches a path of the scenario: the whole target (path and query) when the
// pattern has a "?", otherwise the path alone.
bool TargetMatches(const std::string& pattern, const std::string& path, const std::string& target);

}  // namespace qe::sim
