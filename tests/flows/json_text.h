#pragma once

#include <string>
#include <vector>

namespace qe::test {

// The PEM blocks of a kind ("CERTIFICATE REQUEST", "CERTIFICATE") inside JSON text, unescaped.
inline std::vector<std::string> PemBlocks(const std::string& json, const std::string& kind) {
    std::vector<std::string> blocks;
    const std::string begin = "-----BEGIN " + kind + "-----";
    const std::string end = "-----END " + kind + "-----";
    for (auto at = json.find(begin); at != std::string::npos; at = json.find(begin, at + 1)) {
        const auto stop = json.find(end, at);
        if (stop == std::string::npos) {
            break;
        }
        const std::string raw = json.substr(at, stop + end.size() - at);
        std::string pem;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) {
                const char c = raw[++i];
                pem.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c);
            } else {
                pem.push_back(raw[i]);
            }
        }
        blocks.push_back(pem + "\n");
    }
    return blocks;
}

// Whether `"key": true` stands in the JSON text.
inline bool JsonTrue(const std::string& json, const std::string& key) {
    return json.find("\"" + key + "\": true") != std::string::npos;
}

}  // namespace qe::test
