#include "sim/scenario.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <regex>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qe::sim {
namespace {

constexpr std::size_t kMaxSegments = 4096;

std::string Str(const QJsonValue& value) {
    return value.toString().toStdString();
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string ParseForced(const QJsonValue& value, ForcedAnswer& forced) {
    if (!value.isObject()) {
        return "\"force\" must be an object";
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        if (key == "path" && it->isString()) {
            forced.path = Str(*it);
        } else if (key == "method" && it->isString()) {
            forced.method = Str(*it);
        } else if (key == "status" && it->isDouble()) {
            forced.status = it->toInt(-1);
        } else if (key == "body" && it->isString()) {
            forced.body = Str(*it);
        } else if (key == "headers" && it->isObject()) {
            const QJsonObject headers = it->toObject();
            for (auto header = headers.begin(); header != headers.end(); ++header) {
                if (!header->isString()) {
                    return "force.headers values must be strings";
                }
                forced.headers.emplace_back(header.key().toStdString(), Str(*header));
            }
        } else {
            return "force: unknown key or wrong type: " + key.toStdString();
        }
    }
    if (forced.path.empty() || forced.path.front() != '/') {
        return "force.path must start with /";
    }
    if (forced.status < 100 || forced.status > 599) {
        return "force.status must lie between 100 and 599";
    }
    return {};
}

}  // namespace

std::string ParseScenario(std::string_view json, Scenario& out) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return "the scenario is not a JSON object";
    }
    Scenario scenario;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        if (key == "keygen" && it->isString()) {
            scenario.keygenText = Str(*it);
        } else if (key == "ask4dn" && it->isString()) {
            scenario.ask4dn = Str(*it);
        } else if (key == "ask4dn" && it->isBool()) {
            scenario.ask4dn = it->toBool() ? "1" : "0";
        } else if (key == "fields" && it->isString()) {
            scenario.fieldsText = Str(*it);
        } else if (key == "statusText" && it->isString()) {
            scenario.statusText = Str(*it);
        } else if (key == "statusText" && it->isNull()) {
            scenario.statusText.reset();
        } else if (key == "force" && it->isNull()) {
            scenario.forced.reset();
        } else if (key == "force") {
            ForcedAnswer forced;
            if (std::string error = ParseForced(*it, forced); !error.empty()) {
                return error;
            }
            scenario.forced = std::move(forced);
        } else if (key == "foreignKeyFrom" && (it->isString() || it->isNull())) {
            scenario.foreignKeyFrom = Str(*it);
        } else if (key == "segments" && it->isDouble()) {
            const double segments = it->toDouble();
            if (segments < 0 || segments > static_cast<double>(kMaxSegments) ||
                segments != static_cast<double>(static_cast<std::size_t>(segments))) {
                return "segments must be a whole number from 0 to 4096";
            }
            scenario.segments = static_cast<std::size_t>(segments);
        } else if (key == "clockOffset" && it->isDouble()) {
            scenario.clockOffset = static_cast<long>(it->toDouble());
        } else {
            return "unknown key or wrong type: " + key.toStdString();
        }
    }
    out = std::move(scenario);
    return {};
}

std::string ScenarioJson(const Scenario& scenario) {
    QJsonObject object;
    object["keygen"] = Q(scenario.keygenText);
    object["ask4dn"] = Q(scenario.ask4dn);
    object["fields"] = Q(scenario.fieldsText);
    object["statusText"] = scenario.statusText ? QJsonValue(Q(*scenario.statusText)) : QJsonValue();
    if (scenario.forced) {
        QJsonObject forced;
        forced["path"] = Q(scenario.forced->path);
        forced["method"] = Q(scenario.forced->method);
        forced["status"] = scenario.forced->status;
        forced["body"] = Q(scenario.forced->body);
        QJsonObject headers;
        for (const auto& [name, value] : scenario.forced->headers) {
            headers[Q(name)] = Q(value);
        }
        forced["headers"] = headers;
        object["force"] = forced;
    } else {
        object["force"] = QJsonValue();
    }
    object["foreignKeyFrom"] = Q(scenario.foreignKeyFrom);
    object["segments"] = static_cast<double>(scenario.segments);
    object["clockOffset"] = static_cast<double>(scenario.clockOffset);
    return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<int> OfferedKeySizes(std::string_view keygenText) {
    static const std::regex kLine(R"((genAlgorithms)(\.[0-9]+)?\.(.*)=(.+))");
    std::map<long, int> records;
    std::size_t start = 0;
    while (start < keygenText.size()) {
        const std::size_t end = std::min(keygenText.find('\n', start), keygenText.size());
        std::string line(keygenText.substr(start, end - start));
        start = end + 1;
        const std::size_t first = line.find_first_not_of(" \t\r\n");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
        std::smatch match;
        if (!std::regex_search(line, match, kLine) || match[3] != "keySize") {
            continue;
        }
        long index = 0;
        if (match[2].matched && match[2].length() > 1) {
            errno = 0;
            index = std::strtol(match[2].str().c_str() + 1, nullptr, 10) - 1;
            if (errno != 0 || index < 0 || index > 1000) {
                continue;
            }
        }
        errno = 0;
        const long size = std::strtol(match[4].str().c_str(), nullptr, 10);
        records[index] = (errno != 0 || size < 0 || size > INT_MAX) ? 0 : static_cast<int>(size);
    }
    std::vector<int> sizes;
    for (const auto& [index, size] : records) {
        sizes.push_back(size);
    }
    return sizes;
}

bool TargetMatches(const std::string& pattern, const std::string& path, const std::string& target) {
    if (pattern.empty()) {
        return false;
    }
    return pattern.find('?') != std::string::npos ? pattern == target : pattern == path;
}

}  // namespace qe::sim
