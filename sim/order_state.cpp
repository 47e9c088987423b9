#include "sim/order_state.h"

#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "sim/atomic_file.h"
#include "sim/cert_util.h"

namespace qe::sim {
namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonValue PemValue(const std::string& pem) {
    return pem.empty() ? QJsonValue() : Q(pem);
}

QJsonValue SerialOf(const std::string& pem) {
    X509Ptr certificate = pem.empty() ? nullptr : CertificateFromPem(pem);
    return certificate ? QJsonValue(Q(SerialHex(certificate.get()))) : QJsonValue();
}

QJsonObject OrderJson(const Order& order) {
    QJsonObject object;
    object["tokenHash"] = Q(order.tokenHash);
    QJsonArray requests;
    for (const std::string& pem : order.requests) {
        requests.append(Q(pem));
    }
    object["requests"] = requests;
    object["issuedCertificate"] = PemValue(order.issuedCertificate);
    object["issuedSerial"] = SerialOf(order.issuedCertificate);
    object["renewedCertificate"] = PemValue(order.renewedCertificate);
    object["renewedSerial"] = SerialOf(order.renewedCertificate);
    object["signatureVerified"] = order.signatureVerified;
    object["installed"] = order.installed;
    QJsonObject headers;
    for (const auto& [name, value] : order.lastHeaders) {
        headers[Q(name)] = Q(value);
    }
    object["lastHeaders"] = headers;
    return object;
}

bool OrderFromJson(const QJsonObject& object, Order& order) {
    if (!object["tokenHash"].isString() || !object["requests"].isArray()) {
        return false;
    }
    order.tokenHash = object["tokenHash"].toString().toStdString();
    for (const QJsonValue& pem : object["requests"].toArray()) {
        order.requests.push_back(pem.toString().toStdString());
    }
    order.issuedCertificate = object["issuedCertificate"].toString().toStdString();
    order.renewedCertificate = object["renewedCertificate"].toString().toStdString();
    order.signatureVerified = object["signatureVerified"].toBool();
    order.installed = object["installed"].toBool();
    const QJsonObject headers = object["lastHeaders"].toObject();
    for (auto it = headers.begin(); it != headers.end(); ++it) {
        order.lastHeaders.emplace_back(it.key().toStdString(), it->toString().toStdString());
    }
    return true;
}

}  // namespace

std::string OrderStateJson(const OrderState& state) {
    QJsonArray orders;
    for (const auto& [hash, order] : state.orders) {
        orders.append(OrderJson(order));
    }
    QJsonArray renewed;
    for (const std::string& serial : state.renewedSerials) {
        renewed.append(Q(serial));
    }
    QJsonObject root;
    root["orders"] = orders;
    root["renewedSerials"] = renewed;
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

bool OrderStateFromJson(std::string_view json, OrderState& out, std::string& error) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object()["orders"].isArray()) {
        error = "not an order state document";
        return false;
    }
    OrderState state;
    for (const QJsonValue& value : document.object()["orders"].toArray()) {
        Order order;
        if (!value.isObject() || !OrderFromJson(value.toObject(), order)) {
            error = "damaged order in the state document";
            return false;
        }
        state.orders[order.tokenHash] = std::move(order);
    }
    for (const QJsonValue& serial : document.object()["renewedSerials"].toArray()) {
        state.renewedSerials.insert(serial.toString().toStdString());
    }
    out = std::move(state);
    return true;
}

bool OrderBook::Load(std::string& error) {
    const std::optional<std::string> text = ReadWholeFile(path_);
    std::lock_guard lock(mutex_);
    if (!text) {
        if (access(path_.c_str(), F_OK) == 0) {
            error = "cannot read " + path_;
            return false;
        }
        state_ = OrderState{};
        return true;
    }
    if (!OrderStateFromJson(*text, state_, error)) {
        error = path_ + ": " + error;
        return false;
    }
    return true;
}

OrderState OrderBook::Snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string OrderBook::Json() const {
    return OrderStateJson(Snapshot());
}

bool OrderBook::Update(const std::function<bool(OrderState&)>& change) {
    std::lock_guard lock(mutex_);
    OrderState before = state_;
    if (!change(state_)) {
        state_ = std::move(before);
        return true;
    }
    if (!WriteFileAtomically(path_, OrderStateJson(state_), 0600)) {
        state_ = std::move(before);
        return false;
    }
    return true;
}

}  // namespace qe::sim
