#include "sim/card/card.h"

#include <algorithm>
#include <string_view>

#include <openssl/crypto.h>

namespace qe::sim::card {
namespace {

const Bytes kAppletAid = {0xF2, 0x76, 0xA2, 0x88, 0xBC, 0xFB, 0xA6, 0x9D, 0x34, 0xF3, 0x10, 0x01};

// The applet's answer to its selection: API version 0.6, then its features (extended length
// APDUs and a random number generator; no elliptic curves).
const Bytes kSelectAnswer = {0x00, 0x06, 0x03};

bool SelectsApplet(const Apdu& a) {
    // A selection by a prefix of the AID finds the applet too, as on a Java Card.
    return a.ins == 0xA4 && a.p1 == 0x04 && !a.data.empty() && a.data.size() <= kAppletAid.size() &&
           std::equal(a.data.begin(), a.data.end(), kAppletAid.begin());
}

}  // namespace

Bytes Card::Atr() {
    // T=1, with the card's name as historical bytes.
    const std::string_view name = "QuorvaneCard";
    Bytes atr;
    atr.reserve(5 + name.size());
    atr.push_back(0x3B);
    atr.push_back(static_cast<std::uint8_t>(0x80 | name.size()));
    atr.push_back(0x80);
    atr.push_back(0x01);
    for (char c : name) {
        atr.push_back(static_cast<std::uint8_t>(c));
    }
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) {
        tck ^= atr[i];
    }
    atr.push_back(tck);
    return atr;
}

void Card::PowerOff() {
    applet_selected_ = false;
    chained_.reset();
    security.Deselect();
    files.ResetSelection();
}

Response Card::Process(const Bytes& command) {
    changed_ = false;
    const auto apdu = ParseApdu(command);
    if (!apdu) {
        return Status(kSwWrongLength);
    }
    if (SelectsApplet(*apdu)) {
        applet_selected_ = true;
        chained_.reset();
        security.Deselect();
        files.ResetSelection();
        return Response{kSelectAnswer, kSwOk};
    }
    if (!applet_selected_) {
        return Status(apdu->ins == 0xA4 ? kSwFileNotFound : kSwInsNotSupported);
    }
    return RunChained(*apdu, chained_, [this](const Apdu& whole) { return Dispatch(whole); });
}

Response Card::Dispatch(const Apdu& a) {
    if ((a.cla & 0x0C) != 0) {
        return Status(kSwSecureMessagingUnsupported);
    }
    if ((a.cla & 0x80) != 0) {
        return Status(kSwClaNotSupported);
    }
    const bool user = security.UserAuthenticated();
    switch (a.ins) {
        case 0xA4:
            return files.Select(a);
        case 0xB0:
            return files.ReadBinary(a, user);
        case 0xD6:
            return files.UpdateBinary(a, user, changed_);
        case 0xE0:
            return files.CreateFile(a, user, changed_);
        case 0xE4:
            return files.DeleteFile(a, user, changed_);
        case 0x20:
            return security.Verify(a, changed_);
        case 0x24:
            return security.ChangeReferenceData(a, changed_);
        case 0x2C:
            return security.ResetRetryCounter(a, changed_);
        case 0x22:
            return security.ManageSecurityEnvironment(a);
        case 0x46:
            return security.GenerateKeyPair(a, changed_);
        case 0x2A:
            return security.PerformSecurityOperation(a);
        case 0x84:
            return security.GetChallenge(a);
        case 0xDB:
            // Importing private keys is refused, as the applet is built by default.
            return Status(user ? kSwCommandNotAllowedGeneral : kSwSecurityNotSatisfied);
        default:
            return Status(kSwInsNotSupported);
    }
}

}  // namespace qe::sim::card
