#include "fault_config.h"

#include <cstdlib>
#include <sstream>

namespace qe::fault {
namespace {

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    const std::size_t first = rest.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : rest.substr(first);
}

unsigned long Number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 0);
}

CK_MECHANISM_TYPE Mechanism(const std::string& text) {
    static const std::map<std::string, CK_MECHANISM_TYPE> kNames = {
        {"CKM_RSA_PKCS_KEY_PAIR_GEN", CKM_RSA_PKCS_KEY_PAIR_GEN},
        {"CKM_RSA_PKCS", CKM_RSA_PKCS},
        {"CKM_RSA_X_509", CKM_RSA_X_509},
        {"CKM_RSA_PKCS_PSS", CKM_RSA_PKCS_PSS},
        {"CKM_SHA1_RSA_PKCS", CKM_SHA1_RSA_PKCS},
        {"CKM_SHA256_RSA_PKCS", CKM_SHA256_RSA_PKCS},
        {"CKM_SHA256_RSA_PKCS_PSS", CKM_SHA256_RSA_PKCS_PSS},
        {"CKM_SHA384_RSA_PKCS", CKM_SHA384_RSA_PKCS},
        {"CKM_SHA512_RSA_PKCS", CKM_SHA512_RSA_PKCS},
        {"CKM_SHA384_RSA_PKCS_PSS", CKM_SHA384_RSA_PKCS_PSS},
        {"CKM_SHA512_RSA_PKCS_PSS", CKM_SHA512_RSA_PKCS_PSS},
    };
    const auto it = kNames.find(text);
    return it != kNames.end() ? it->second : Number(text);
}

void ApplyTokenLine(const std::string& key, std::istringstream& in, TokenRules& rules) {
    if (key == "product-name") {
        rules.productNames.push_back(Rest(in));
    } else if (key == "refuse-rw-session") {
        rules.refuseReadWrite = true;
    } else if (key == "absent") {
        rules.absent = true;
    } else if (key == "session-state") {
        std::string n;
        in >> n;
        rules.sessionState = Number(n);
    } else if (key == "flags-set") {
        std::string n;
        in >> n;
        rules.flagsSet |= Number(n);
    } else if (key == "flags-clear") {
        std::string n;
        in >> n;
        rules.flagsClear |= Number(n);
    } else if (key == "manufacturer") {
        rules.manufacturer = Rest(in);
    } else if (key == "model") {
        rules.model = Rest(in);
    } else if (key == "serial") {
        rules.serial = Rest(in);
    } else if (key == "rsa-key-sizes") {
        std::string min;
        std::string max;
        in >> min >> max;
        rules.rsaKeySizes = std::make_pair(Number(min), Number(max));
    } else if (key == "hide-mechanism") {
        std::string mechanism;
        while (in >> mechanism) {
            rules.hiddenMechanisms.insert(Mechanism(mechanism));
        }
    }
}

}  // namespace

Config ParseConfig(const std::string& text) {
    Config config;
    std::vector<std::string> globalLines;
    std::map<std::string, std::vector<std::string>> sectionLines;
    std::string* section = nullptr;
    std::string sectionName;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream in(line);
        std::string key;
        if (!(in >> key) || key.front() == '#') {
            continue;
        }
        if (key == "[token") {
            std::string name = Rest(in);
            if (!name.empty() && name.back() == ']') {
                name.pop_back();
            }
            sectionName = name;
            sectionLines[sectionName];
            section = &sectionName;
        } else if (key == "library") {
            config.library = Rest(in);
        } else if (key == "record") {
            config.record = Rest(in);
        } else if (key == "record-time") {
            config.recordTime = true;
        } else if (key == "sign-length") {
            config.signLength = Number(Rest(in));
        } else if (key == "fail" || key == "fail-after") {
            CallRule rule;
            std::string rv;
            in >> rule.call >> rv;
            rule.rv = Number(rv);
            rule.forward = key == "fail-after";
            std::string word;
            std::string value;
            while (in >> word >> value) {
                if (word == "skip") {
                    rule.skip = static_cast<unsigned>(Number(value));
                } else if (word == "times") {
                    rule.times = static_cast<unsigned>(Number(value));
                }
            }
            config.calls.push_back(rule);
        } else if (section != nullptr) {
            sectionLines[*section].push_back(line);
        } else {
            globalLines.push_back(line);
        }
    }
    const auto apply = [](const std::vector<std::string>& source, TokenRules& rules) {
        for (const std::string& entry : source) {
            std::istringstream in(entry);
            std::string key;
            in >> key;
            ApplyTokenLine(key, in, rules);
        }
    };
    apply(globalLines, config.allTokens);
    for (const auto& [label, entries] : sectionLines) {
        TokenRules rules = config.allTokens;
        apply(entries, rules);
        config.byLabel[label] = rules;
    }
    return config;
}

}  // namespace qe::fault
