#pragma once

#include <string>
#include <vector>

#include "toolkit/bytes.h"

namespace qe {

// What the card service says of one reader's card.
enum class CardPresence { Absent, Present, InUse, Unknown };

struct PcscReader {
    std::string name;
    CardPresence card = CardPresence::Unknown;
    Bytes atr;  // empty without a card
};

// The card service's view at one moment. `answers` false: no service (no pcscd, or it does not
// answer), and `error` holds its PC/SC code.
struct PcscView {
    bool answers = false;
    long error = 0;
    std::vector<PcscReader> readers;
};

// Asks the card service once, without waiting for any change. A card another program holds
// exclusively reads as InUse.
PcscView ReadPcscView();

// "Card present", "no card", "in use by another program", "unknown".
std::string CardPresenceText(CardPresence card);

// The PC/SC code in pcsc-lite's words with its number: "Service not available. (0x8010001d)".
std::string PcscErrorText(long error);

// Whether a PKCS#11 slot description (padding trimmed) names the reader: card libraries over
// PC/SC put the reader's name there, cut to the field's 64 characters.
bool SlotNamesReader(const std::string& slotDescription, const std::string& readerName);

// Why no library showed a token, as far as the card service knows: a card held by another
// program, a card no library shows, or no card (also when there is no card service). Logs what
// the service saw: each reader, its card's state and its ATR in hex.
enum class MissingToken { NoCard, InUse, NoSoftware };
MissingToken ExplainMissingToken();

// Whether some reader's card is held by another program (logged when it is): a library's
// device error or missing token then has that cause.
bool CardHeldElsewhere();

}  // namespace qe
