#include "sim/sim_context.h"

#include <openssl/rsa.h>

#include "sim/cert_issuer.h"

namespace qe::sim {

namespace {
constexpr const char* kFirstDeliveryPath = "/public/rest/certificate";
}  // namespace

Scenario ScenarioHolder::Get() const {
    std::lock_guard lock(mutex_);
    return scenario_;
}

void ScenarioHolder::Replace(Scenario scenario) {
    std::lock_guard lock(mutex_);
    scenario_ = std::move(scenario);
    foreignFrom_.clear();
}

bool ScenarioHolder::ForeignKeyFor(const std::string& tokenHash, const std::string& path,
                                   const std::string& target) {
    std::lock_guard lock(mutex_);
    if (scenario_.foreignKeyFrom.empty()) {
        return false;
    }
    if (TargetMatches(scenario_.foreignKeyFrom, path, target)) {
        foreignFrom_.insert(tokenHash);
    } else if (path == kFirstDeliveryPath) {
        foreignFrom_.erase(tokenHash);
    }
    return foreignFrom_.count(tokenHash) != 0;
}

const DeliveryRecipient* ForeignRecipient::Get() {
    std::call_once(once_, [this] {
        key_.reset(EVP_RSA_gen(2048));
        Asn1IntegerPtr serial = FreshSerial();
        if (key_ && serial) {
            recipient_ = RecipientFromKey(key_.get(), X509_get_subject_name(pki_.issuingCa.get()),
                                          serial.get());
        }
    });
    return recipient_.identifier.empty() ? nullptr : &recipient_;
}

}  // namespace qe::sim
