#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include <openssl/evp.h>

#include "sim/card/apdu.h"

namespace qe::sim::card {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A PIN or PUK as the card keeps it: padded with zero bytes to 16, and its tries.
struct Secret16 {
    std::array<std::uint8_t, 16> value{};
    int tries_left = 0;
    int max_tries = 0;
    bool set = false;
    ~Secret16();
};

// Lifecycle: a fresh card takes the PUK and PIN without any check; once the PIN is set, the
// data is protected by it.
enum class Life : std::uint8_t { kCreation = 0, kInitialisation = 1, kOperational = 5 };

constexpr std::size_t kKeySlots = 16;

// The PIN, the PUK, the private keys and the security environment of the session.
class Security {
public:
    // The commands: `changed` is set when something kept in the state file changed (a try
    // counted, a PIN set, a key made).
    Response Verify(const Apdu& a, bool& changed);
    Response ChangeReferenceData(const Apdu& a, bool& changed);
    Response ResetRetryCounter(const Apdu& a, bool& changed);
    Response ManageSecurityEnvironment(const Apdu& a);
    Response GenerateKeyPair(const Apdu& a, bool& changed);
    Response PerformSecurityOperation(const Apdu& a);
    Response GetChallenge(const Apdu& a) const;

    // The applet is selected anew, or the card reset: the PIN must be presented again.
    void Deselect();
    bool UserAuthenticated() const;

    Life life = Life::kCreation;
    Secret16 pin;
    Secret16 puk;
    std::array<Pkey, kKeySlots> keys;

private:
    Response Sign(const Apdu& a) const;
    Response Decipher(const Apdu& a) const;

    bool pin_validated_ = false;
    std::uint8_t algorithm_ = 0;
    std::optional<std::size_t> key_ref_;
    std::uint8_t operation_ = 0xFF;
};

}  // namespace qe::sim::card
