#pragma once

#include <chrono>
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

// Asks the card service, without waiting for any change, or with `settle` up to that long for a
// card it still calls present to be noticed gone. A card another program holds exclusively reads
// as InUse.
PcscView ReadPcscView(std::chrono::milliseconds settle = std::chrono::milliseconds(0));

// "Card present", "no card", "in use by another program", "unknown".
std::string CardPresenceText(CardPresence card);

// The PC/SC code in pcsc-lite's words with its number: "Service not available. (0x8010001d)".
std::string PcscErrorText(long error);

// Whether a PKCS#11 slot description (padding trimmed) names the reader: card libraries over
// PC/SC put the reader's name there, cut to the field's 64 characters.
bool SlotNamesReader(const std::string& slotDescription, const std::string& readerName);

// Why no library shows a token, or why one failed, as far as the card service knows: a card held
// by another program; a card present and free (no library shows it: its software is missing); no
// card in any reader; a card service that ran on this computer and does not answer now (its
// folder is there, its socket is not); or no card service at all. Logs what the service saw:
// each reader, its card's state and its ATR in hex.
enum class MissingToken { NoCard, InUse, NoSoftware, ServiceStopped, NoService };
MissingToken ExplainMissingToken();

}  // namespace qe
