#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <openssl/crypto.h>

namespace qe::sim::card {

using Bytes = std::vector<std::uint8_t>;

// Status words the card answers with (ISO 7816-4).
enum Sw : std::uint16_t {
    kSwOk = 0x9000,
    kSwWrongLength = 0x6700,
    kSwSecureMessagingUnsupported = 0x6882,
    kSwChainingUnsupported = 0x6884,
    kSwAuthBlocked = 0x6983,
    kSwSecurityNotSatisfied = 0x6982,
    kSwConditionsNotSatisfied = 0x6985,
    kSwCommandNotAllowed = 0x6986,
    kSwCommandNotAllowedGeneral = 0x6900,
    kSwCommandIncompatible = 0x6981,
    kSwDataInvalid = 0x6984,
    kSwWrongData = 0x6A80,
    kSwFuncNotSupported = 0x6A81,
    kSwFileNotFound = 0x6A82,
    kSwFileFull = 0x6A84,
    kSwIncorrectP1P2 = 0x6A86,
    kSwOffsetOutside = 0x6B00,
    kSwInsNotSupported = 0x6D00,
    kSwClaNotSupported = 0x6E00,
    kSwUnknown = 0x6F00,
    kSwTriesRemaining = 0x63C0,
};

// One command APDU, short or extended length.
struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    std::size_t le = 0;  // 0: no data expected
};

// Nothing when the bytes are no well-formed APDU.
std::optional<Apdu> ParseApdu(const Bytes& raw);

struct Response {
    Bytes data;
    std::uint16_t sw = kSwOk;
};

inline Response Status(std::uint16_t sw) {
    return Response{{}, sw};
}

// Command chaining: a part (CLA bit 0x10) is kept in `chained` and answered at once in `early`;
// the last part gets the whole command back, the parts before it wiped. Nothing, with `early`,
// when the command is not complete or the chain is broken.
std::optional<Apdu> GatherChain(const Apdu& part, std::optional<Apdu>& chained, Response& early);

// `dispatch` on the whole command once its chain is complete (else the answer to the part), the
// command wiped afterwards: it may hold a PIN or a key.
template <class Dispatch>
Response RunChained(const Apdu& part, std::optional<Apdu>& chained, Dispatch dispatch) {
    Response early;
    std::optional<Apdu> whole = GatherChain(part, chained, early);
    if (!whole) {
        return early;
    }
    Response r = dispatch(*whole);
    OPENSSL_cleanse(whole->data.data(), whole->data.size());
    return r;
}

std::string ToHex(const std::uint8_t* data, std::size_t size);
inline std::string ToHex(const Bytes& b) {
    return ToHex(b.data(), b.size());
}
std::optional<Bytes> FromHex(const std::string& hex);

// The value of the first tag `tag` (one byte) among the BER-TLV entries in [begin, end); lengths
// of one to three bytes. Nothing when it is absent or the entries are malformed.
std::optional<Bytes> FindTag(const std::uint8_t* begin, const std::uint8_t* end, std::uint8_t tag);

}  // namespace qe::sim::card
