#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "sim/delivery_builder.h"
#include "sim/network_faults.h"
#include "sim/order_state.h"
#include "sim/pki.h"
#include "sim/scenario.h"

namespace qe::sim {

// The scenario in force, replaceable while requests are served.
class ScenarioHolder {
public:
    Scenario Get() const;
    // Also forgets which orders had reached the scenario's foreign-key path.
    void Replace(Scenario scenario);

    // Whether the delivery asked for by this request goes to the other key: from the request that
    // matches the scenario's foreignKeyFrom on, for this token, until its next download starts
    // (a request of the certificate that is not itself that path).
    bool ForeignKeyFor(const std::string& tokenHash, const std::string& path,
                       const std::string& target);

private:
    mutable std::mutex mutex_;
    Scenario scenario_;
    std::set<std::string> foreignFrom_;  // token hashes past the foreign-key path
};

// A key no customer holds, for deliveries meant to fail the wizard's key check. Made on first
// use, named as if the issuing CA had certified it.
class ForeignRecipient {
public:
    explicit ForeignRecipient(const Pki& pki) : pki_(pki) {}
    // Nothing when the key cannot be made.
    const DeliveryRecipient* Get();

private:
    const Pki& pki_;
    std::once_flag once_;
    PkeyPtr key_;
    DeliveryRecipient recipient_;
};

// What the handlers of the three listeners share.
struct SimContext {
    SimContext(std::string dir, Pki authority)
        : stateDir(std::move(dir)),
          pki(std::move(authority)),
          orders(stateDir + "/orders.json"),
          foreign(pki) {}

    const std::string stateDir;
    const Pki pki;
    OrderBook orders;
    ScenarioHolder scenario;
    ForeignRecipient foreign;
    NetworkFaults network;
};

}  // namespace qe::sim
