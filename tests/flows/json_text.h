#pragma once

#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qe::test {

// The PEM blocks of a kind ("CERTIFICATE REQUEST", "CERTIFICATE") inside JSON text, unescaped.
inline std::vector<std::string> PemBlocks(const std::string& json, const std::string& kind) {
    std::vector<std::string> blocks;
    const std::string begin = "-----BEGIN " + kind + "-----";
    const std::string end = "-----END " + kind + "-----";
    for (auto at = json.find(begin); at != std::string::npos; at = json.find(begin, at + 1)) {
        const auto stop = json.find(end, at);
        const QJsonDocument quoted = QJsonDocument::fromJson(
            QByteArray::fromStdString("[\"" + json.substr(at, stop + end.size() - at) + "\"]"));
        blocks.push_back(quoted.array().at(0).toString().toStdString() + "\n");
    }
    return blocks;
}

// The control listener's order of the token, as JSON (empty when there is none).
inline QJsonObject FirstOrder(const std::string& state) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(state))["orders"][0].toObject();
}

}  // namespace qe::test
