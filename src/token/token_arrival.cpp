#include "token/token_arrival.h"

#include <chrono>
#include <utility>

#include "token/pkcs11_module.h"
#include "token/pki.h"

namespace qe {
namespace {

// A library kept initialised for the watch because it tells slot events.
struct EventLibrary {
    std::string name;
    Pkcs11Module module;
};

bool EventHappened(CK_FUNCTION_LIST* fn) {
    CK_SLOT_ID slot = 0;
    return fn->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) != CKR_NO_EVENT;
}

// The libraries among `names` that answer a slot-event query without blocking; the others are
// left in `polled`.
std::vector<EventLibrary> HoldEventLibraries(const std::vector<std::string>& names,
                                             std::vector<std::string>& polled) {
    std::vector<EventLibrary> held;
    for (const std::string& name : names) {
        EventLibrary library{name, {}};
        NoStep outside;
        if (library.module.Load(name, outside) == CKR_OK && library.module.Initialize() == CKR_OK &&
            !library.module.shared()) {
            CK_SLOT_ID slot = 0;
            const CK_RV rv =
                library.module.fn()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
            if (rv == CKR_OK || rv == CKR_NO_EVENT) {
                held.push_back(std::move(library));
                continue;
            }
        }
        polled.push_back(name);
    }
    return held;
}

bool AnyListed(const std::vector<std::string>& names) {
    std::vector<zel_token> tokens;
    NoStep outside;  // the watch runs beside the steps, never in one
    CPKI(outside).ListTokens(names, tokens);
    return !tokens.empty();
}

}  // namespace

TokenArrivalWatch::TokenArrivalWatch(std::vector<std::string> modules,
                                     std::function<void()> arrived)
    : modules_(std::move(modules)),
      arrived_(std::move(arrived)),
      thread_([this](const std::stop_token& stop) { Watch(stop); }) {}

TokenArrivalWatch::~TokenArrivalWatch() {
    thread_.request_stop();
    wake_.notify_all();
}

void TokenArrivalWatch::Watch(const std::stop_token& stop) {
    std::vector<std::string> polled;
    std::vector<EventLibrary> held = HoldEventLibraries(modules_, polled);
    // The box was opened because the same listing found none: a token at the first look came since
    // (a look taken here as the baseline would miss one put in while the libraries were loading).
    bool listed = false;
    bool first = true;
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        wake_.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
        if (stop.stop_requested()) {
            return;
        }
        bool event = std::exchange(first, false);
        for (const EventLibrary& library : held) {
            event = EventHappened(library.module.fn()) || event;
        }
        const bool now = event || !polled.empty() ? AnyListed(modules_) : listed;
        if (now && !listed && !stop.stop_requested()) {
            arrived_();
            return;
        }
        listed = now;
    }
}

}  // namespace qe
