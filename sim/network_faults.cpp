#include "sim/network_faults.h"

#include <chrono>

#include <poll.h>
#include <sys/socket.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qe::sim {
namespace {

const std::map<std::string, FaultKind> kKinds = {
    {"refuse", FaultKind::Refuse},   {"reset", FaultKind::Reset},
    {"silent", FaultKind::Silent},   {"lost", FaultKind::Lost},
    {"gateway", FaultKind::Gateway}, {"frontend", FaultKind::Frontend},
};

// Where a connection's number is kept on its TLS object.
int ConnectionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Ends the connection with a reset, as a crashed server or a cut cable shows it.
void ResetSocket(int fd) {
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    shutdown(fd, SHUT_RDWR);
}

}  // namespace

std::string NetworkFaults::Arm(std::string_view json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &error);
    if (!document.isObject()) {
        return "not a JSON object";
    }
    const QJsonObject fault = document.object();
    const std::string kind = fault["kind"].toString().toStdString();
    const std::string listener = fault["listener"].toString().toStdString();
    const int connection = fault["connection"].toInt(0);
    const auto known = kKinds.find(kind);
    if (!fault.isEmpty() &&
        (known == kKinds.end() || (listener != "api" && listener != "rekey") || connection < 1)) {
        return "a fault needs listener (api, rekey), connection (from 1) and kind (refuse, "
               "reset, silent, lost, gateway, frontend)";
    }
    std::lock_guard lock(mutex_);
    connections_.clear();
    exchanges_.clear();
    listener_ = listener;
    connection_ = connection;
    kind_ = fault.isEmpty() ? FaultKind::None : known->second;
    return {};
}

void NetworkFaults::Connected(const std::string& listener, SSL* ssl) {
    std::lock_guard lock(mutex_);
    const int number = ++connections_[listener];
    SSL_set_ex_data(ssl, ConnectionIndex(), reinterpret_cast<void*>(static_cast<intptr_t>(number)));
    if (kind_ == FaultKind::Refuse && listener == listener_ && number == connection_) {
        ResetSocket(SSL_get_fd(ssl));
    }
}

int NetworkFaults::ConnectionOf(const httplib::Request& request) {
    return request.ssl == nullptr ? 0
                                  : static_cast<int>(reinterpret_cast<intptr_t>(
                                        SSL_get_ex_data(request.ssl, ConnectionIndex())));
}

FaultKind NetworkFaults::FaultFor(const std::string& listener, const httplib::Request& request) {
    std::lock_guard lock(mutex_);
    return listener == listener_ && ConnectionOf(request) == connection_ ? kind_ : FaultKind::None;
}

void NetworkFaults::Disrupt(FaultKind kind, const httplib::Request& request) {
    const int fd = request.ssl != nullptr ? SSL_get_fd(request.ssl) : -1;
    if (fd < 0) {
        return;
    }
    if (kind == FaultKind::Silent) {
        pollfd hangup{fd, POLLRDHUP, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (std::chrono::steady_clock::now() < end && poll(&hangup, 1, 100) == 0) {
        }
    }
    ResetSocket(fd);
}

void NetworkFaults::Record(const std::string& listener, const httplib::Request& request,
                           int status) {
    if (ConnectionOf(request) == 0) {
        return;  // not one of the authority's hosts
    }
    std::lock_guard lock(mutex_);
    exchanges_.push_back({listener, ConnectionOf(request), request.method, request.target, status});
}

std::string NetworkFaults::ExchangesJson() const {
    QJsonArray list;
    std::lock_guard lock(mutex_);
    for (const Exchange& e : exchanges_) {
        list.append(QJsonObject{{"listener", QString::fromStdString(e.listener)},
                                {"connection", e.connection},
                                {"method", QString::fromStdString(e.method)},
                                {"target", QString::fromStdString(e.target)},
                                {"status", e.status}});
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace qe::sim
