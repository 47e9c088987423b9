#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qe::sim {

// One customer's renewal, identified by the token hash.
struct Order {
    std::string tokenHash;
    std::vector<std::string> requests;  // the uploaded requests as PEM, oldest first
    std::string issuedCertificate;      // PEM; empty until a request was accepted
    std::string renewedCertificate;     // PEM of the certificate that authenticated the upload
    bool signatureVerified = false;
    bool installed = false;
    std::vector<std::pair<std::string, std::string>> lastHeaders;  // the last header block seen

    bool AwaitsInstallation() const { return !issuedCertificate.empty() && !installed; }
};

struct OrderState {
    std::map<std::string, Order> orders;   // by token hash
    std::set<std::string> renewedSerials;  // lower-case hex of certificates that were replaced
};

// The state as JSON: {"orders": [{tokenHash, requests, issuedCertificate, issuedSerial,
// renewedCertificate, renewedSerial, signatureVerified, installed, lastHeaders}],
// "renewedSerials": [...]}; certificates as PEM or null.
std::string OrderStateJson(const OrderState& state);

// Reads what OrderStateJson wrote. False, with `error` set, when the text is not such a document.
bool OrderStateFromJson(std::string_view json, OrderState& out, std::string& error);

// The orders of the running server, kept in one file that survives restarts. Handlers run on
// several threads; every change runs under one lock and reaches the disk before the lock is
// released, so no answer reports a change a crash could lose.
class OrderBook {
public:
    explicit OrderBook(std::string path) : path_(std::move(path)) {}

    // Reads the stored state; a missing file is an empty book. False, with `error` set, when the
    // file cannot be read or is damaged.
    bool Load(std::string& error);

    OrderState Snapshot() const;
    std::string Json() const;

    // Runs `change` on the state under the lock. When it returns true the new state is written
    // (atomically) before the lock is released; when that write fails the change is undone and
    // Update returns false. A change that returns false is undone and leaves the file alone.
    bool Update(const std::function<bool(OrderState&)>& change);

private:
    const std::string path_;
    mutable std::mutex mutex_;
    OrderState state_;
};

}  // namespace qe::sim
