#include "sim/card/piv_card.h"

#include <algorithm>
#include <string_view>

#include <openssl/crypto.h>
#include <openssl/rsa.h>

namespace qe::sim::card {
namespace {

const Bytes kPivAid = {0xA0, 0x00, 0x00, 0x03, 0x08, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00};
constexpr std::uint8_t kAlgRsa2048 = 0x07;
constexpr std::uint8_t kPinRef = 0x80;
constexpr std::uint8_t kManagementKeyRef = 0x9B;
constexpr std::uint16_t kSwReferenceNotFound = 0x6A88;
constexpr std::uint32_t kDiscoveryTag = 0x7E;
// The maker's firmware version these commands are answered as (5.4.3).
const Bytes kVersion = {0x05, 0x04, 0x03};

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

void PutLength(Bytes& out, std::size_t n) {
    if (n >= 0x100) {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
    } else if (n >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<std::uint8_t>(n));
}

Bytes Tlv(std::uint8_t tag, const Bytes& value) {
    Bytes out{tag};
    PutLength(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::uint16_t TriesLeft(int tries) {
    return tries == 0 ? std::uint16_t{kSwAuthBlocked}
                      : static_cast<std::uint16_t>(kSwTriesRemaining | tries);
}

bool SelectsPiv(const Apdu& a) {
    return a.ins == 0xA4 && a.p1 == 0x04 && a.data.size() >= 5 && a.data.size() <= kPivAid.size() &&
           std::equal(a.data.begin(), a.data.end(), kPivAid.begin());
}

// PIV's RSA operation: the private key on a block already padded by the host.
std::optional<Bytes> RawRsa(EVP_PKEY* key, const Bytes& block) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Bytes out(256);
    std::size_t len = out.size();
    if (!ctx || block.size() != 256 || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), out.data(), &len, block.data(), block.size()) != 1 ||
        len != 256) {
        OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

}  // namespace

PivCard::~PivCard() {
    OPENSSL_cleanse(pin.data(), pin.size());
}

Bytes PivCard::Atr() {
    // T=1, the card's name as historical bytes.
    const std::string_view name = "QuorvanePIV";
    Bytes atr = {0x3B, static_cast<std::uint8_t>(0x80 | name.size()), 0x80, 0x01};
    for (const char c : name) {
        atr.push_back(static_cast<std::uint8_t>(c));
    }
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        tck ^= atr[i];
    }
    atr.push_back(tck);
    return atr;
}

void PivCard::PowerOff() {
    selected_ = false;
    pin_verified_ = false;
    pin_used_ = false;
    chained_.reset();
    pending_.clear();
}

Response PivCard::Process(const Bytes& command) {
    changed_ = false;
    const auto apdu = ParseApdu(command);
    if (!apdu) {
        return Status(kSwWrongLength);
    }
    if (apdu->ins == 0xC0 && !pending_.empty()) {
        Bytes rest;
        rest.swap(pending_);
        return Answer(std::move(rest), apdu->le);
    }
    pending_.clear();
    if (SelectsPiv(*apdu)) {
        PowerOff();
        selected_ = true;
        // The application property template: its AID and the coexistent tag allocation.
        Bytes apt = {0x4F, 0x06, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00};
        const Bytes authority = Tlv(0x4F, Bytes(kPivAid.begin(), kPivAid.begin() + 5));
        const Bytes allocation = Tlv(0x79, authority);
        apt.insert(apt.end(), allocation.begin(), allocation.end());
        return Response{Tlv(0x61, apt), kSwOk};
    }
    if (!selected_) {
        return Status(apdu->ins == 0xA4 ? kSwFileNotFound : kSwInsNotSupported);
    }
    return RunChained(*apdu, chained_, [this](const Apdu& whole) { return Dispatch(whole); });
}

// A short command gets at most 256 bytes, the rest by GET RESPONSE after 61xx.
Response PivCard::Answer(Bytes data, std::size_t le) {
    const std::size_t limit = le > 256 ? le : 256;
    if (data.size() <= limit) {
        return Response{std::move(data), kSwOk};
    }
    pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(limit), data.end());
    data.resize(limit);
    const std::size_t rest = pending_.size();
    return Response{std::move(data), static_cast<std::uint16_t>(0x6100 | (rest > 255 ? 0 : rest))};
}

Response PivCard::Dispatch(const Apdu& a) {
    if (a.cla != 0x00) {
        return Status(kSwClaNotSupported);
    }
    switch (a.ins) {
        case 0xCB:
            return GetData(a);
        case 0x20:
            return Verify(a);
        case 0x87:
            return GeneralAuthenticate(a);
        case 0xFD:
            return Response{kVersion, kSwOk};
        case 0xF8:
            return Response{
                {static_cast<std::uint8_t>(serial >> 24), static_cast<std::uint8_t>(serial >> 16),
                 static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial)},
                kSwOk};
        case 0xDB:  // PUT DATA
        case 0x47:  // GENERATE ASYMMETRIC KEY PAIR
        case 0xFE:  // IMPORT KEY
            // Each wants the management key, which this card never accepts.
            return Status(kSwSecurityNotSatisfied);
        default:
            // GET METADATA, ATTEST, RESET and the rest: not on this card.
            return Status(kSwInsNotSupported);
    }
}

Response PivCard::GetData(const Apdu& a) {
    if (a.p1 != 0x3F || a.p2 != 0xFF) {
        return Status(kSwIncorrectP1P2);
    }
    const auto tag = FindTag(a.data.data(), a.data.data() + a.data.size(), 0x5C);
    if (!tag || tag->empty() || tag->size() > 3) {
        return Status(kSwWrongData);
    }
    std::uint32_t id = 0;
    for (const std::uint8_t b : *tag) {
        id = (id << 8) | b;
    }
    if (id == kDiscoveryTag) {
        // The discovery object: the AID, and a PIN usage policy of the application PIN only.
        Bytes value = Tlv(0x4F, kPivAid);
        value.insert(value.end(), {0x5F, 0x2F, 0x02, 0x40, 0x00});
        return Answer(Tlv(0x7E, value), a.le);
    }
    const auto found = objects.find(id);
    if (found == objects.end()) {
        return Status(kSwFileNotFound);
    }
    return Answer(Tlv(0x53, found->second), a.le);
}

Response PivCard::Verify(const Apdu& a) {
    if (a.p2 != kPinRef) {
        return Status(kSwReferenceNotFound);
    }
    if (a.p1 == 0xFF) {  // the PIN forgotten
        pin_verified_ = false;
        return Status(kSwOk);
    }
    if (a.p1 != 0x00) {
        return Status(kSwIncorrectP1P2);
    }
    if (a.data.empty()) {  // the state asked
        if (pin_verified_) {
            return Status(kSwOk);
        }
        return Status(TriesLeft(pin_tries_left));
    }
    if (a.data.size() != pin.size()) {
        return Status(kSwWrongLength);
    }
    if (pin_tries_left == 0) {
        return Status(kSwAuthBlocked);
    }
    const bool match = CRYPTO_memcmp(a.data.data(), pin.data(), pin.size()) == 0;
    const int before = pin_tries_left;
    pin_tries_left = match ? 3 : pin_tries_left - 1;
    changed_ = pin_tries_left != before;
    pin_verified_ = match;
    pin_used_ = false;
    return Status(match ? std::uint16_t{kSwOk} : TriesLeft(pin_tries_left));
}

Response PivCard::GeneralAuthenticate(const Apdu& a) {
    const std::uint8_t* end = a.data.data() + a.data.size();
    const auto dynamic = FindTag(a.data.data(), end, 0x7C);
    if (!dynamic) {
        return Status(kSwWrongData);
    }
    if (a.p2 == kManagementKeyRef) {
        return Status(kSwSecurityNotSatisfied);  // no management key on this card
    }
    const auto key = keys.find(a.p2);
    if (key == keys.end()) {
        return Status(kSwFileNotFound);
    }
    if (a.p1 != kAlgRsa2048) {
        return Status(kSwWrongData);
    }
    // 9A and 9D want the PIN once per selection, 9C before every signature, 9E never.
    const bool needs_pin = a.p2 != 0x9E;
    if (needs_pin && (!pin_verified_ || (a.p2 == 0x9C && pin_used_))) {
        return Status(kSwSecurityNotSatisfied);
    }
    const auto challenge = FindTag(dynamic->data(), dynamic->data() + dynamic->size(), 0x81);
    if (!challenge) {
        return Status(kSwWrongData);
    }
    auto result = RawRsa(key->second.get(), *challenge);
    if (!result) {
        return Status(kSwWrongData);
    }
    pin_used_ = pin_used_ || a.p2 == 0x9C;
    Bytes answer = Tlv(0x7C, Tlv(0x82, *result));
    OPENSSL_cleanse(result->data(), result->size());
    return Answer(std::move(answer), a.le);
}

}  // namespace qe::sim::card
