#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/card/apdu.h"
#include "sim/card/file_system.h"
#include "sim/card/security.h"

namespace qe::sim::card {

// The card: a Java Card whose one applet speaks the IsoApplet protocol (a file system, a PIN and
// PUK, on-card RSA-2048 keys). Until the applet is selected by its AID, the card answers every
// other command as a card manager with nothing to offer.
class Card {
public:
    Response Process(const Bytes& command);
    void PowerOff();
    static Bytes Atr();

    // True when the last command changed what the state file keeps.
    bool changed() const { return changed_; }

    FileSystem files;
    Security security;

private:
    Response Dispatch(const Apdu& a);

    bool applet_selected_ = false;
    std::optional<Apdu> chained_;
    bool changed_ = false;
};

}  // namespace qe::sim::card
