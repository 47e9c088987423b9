#pragma once

#include <optional>
#include <string>

#include "flows/window_port.h"
#include "net/network_step.h"
#include "token/token_step.h"
#include "toolkit/bytes.h"

namespace qe {

// What one step of the customer's carries below the flows, made by the worker around the step
// and handed down by the flows, never found: `token` goes to every token call (its library cycle
// and login, the PIN port for the reader's prompt and a demanded new PIN, what the last login
// said), `network` to every HTTPS client (the deadline and the customer's cancel). Only the
// flows, the workers and their tests make one; the layers below take the part they need.
class StepContext {
public:
    // The worker's step, with the window as PIN port.
    explicit StepContext(WindowPort& port)
        : own_(std::in_place, &port), token(*own_), network(&port.Network()) {}
    // One flow run outside a worker's step (its tests): the token calls go to `outside`.
    StepContext(WindowPort& port, TokenStep& outside) : token(outside), network(&port.Network()) {}
    StepContext(const StepContext&) = delete;
    StepContext& operator=(const StepContext&) = delete;

private:
    std::optional<TokenStep> own_;

public:
    TokenStep& token;
    NetworkStep network;
    // The key identifier the step's first delivery carried: every later one must carry it, and
    // the certificate installed must be for it or for a key found on the token.
    Bytes deliveryKeyId;
    // The hash of the token the step selected, once it did.
    std::string tokenHash;

    StepTrace Trace() const { return {network.ServerMessage(), tokenHash}; }
};

}  // namespace qe
