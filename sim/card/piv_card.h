#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "sim/card/apdu.h"
#include "sim/card/security.h"

namespace qe::sim::card {

// A PIV card (NIST SP 800-73) with the version, serial and metadata commands of one maker's
// keys: data objects read by GET DATA, a PIN (3 tries), RSA-2048 keys in the fixed slots 9A, 9C,
// 9D and 9E. Keys and objects are put on it only by provisioning: it has no management key, so
// GENERATE ASYMMETRIC KEY PAIR and PUT DATA, which want one, are never allowed.
class PivCard {
public:
    Response Process(const Bytes& command);
    void PowerOff();
    static Bytes Atr();
    bool changed() const { return changed_; }

    // The card's memory. The PIN is padded with FF to 8 bytes, as the card compares it.
    std::array<std::uint8_t, 8> pin{};
    int pin_tries_left = 3;
    std::map<std::uint32_t, Bytes> objects;  // by tag (5FC105), the content inside tag 53
    std::map<std::uint8_t, Pkey> keys;       // by slot (9A)
    std::uint32_t serial = 0;

    PivCard() = default;
    PivCard(const PivCard&) = delete;
    PivCard& operator=(const PivCard&) = delete;
    ~PivCard();

private:
    Response Dispatch(const Apdu& a);
    Response GetData(const Apdu& a);
    Response Verify(const Apdu& a);
    Response GeneralAuthenticate(const Apdu& a);
    Response Answer(Bytes data, std::size_t le);

    bool selected_ = false;
    bool pin_verified_ = false;
    bool pin_used_ = false;  // slot 9C wants the PIN again for each signature
    std::optional<Apdu> chained_;
    Bytes pending_;  // the rest of a long answer, for GET RESPONSE
    bool changed_ = false;
};

// The card's memory in a file, replaced atomically as the other card's is.
bool SavePiv(const PivCard& card, const std::string& path);
bool LoadPiv(PivCard& card, const std::string& path, std::string& error);

// A card as it leaves its issuer: PIN set, the certificate (DER) and its key (PEM) in slot 9A,
// CHUID and CCC written. Only this puts keys and objects on the card.
bool ProvisionPiv(PivCard& card, const std::string& pin, const std::string& certificate_der,
                  const std::string& key_pem, std::string& error);

}  // namespace qe::sim::card
