#pragma once

#include <string>
#include <vector>

#include "token/zel_token.h"
#include "toolkit/bytes.h"

namespace qe {

// The key pairs this program generated whose fate is not settled, kept between runs in
// StateDir() + "/key-pairs": what lets a later run prove that a pair on the token is one it made,
// and nothing else does. The file holds what the wizard can prove, never more: the state that a
// request may have left is written before the request goes.
enum class LedgerState {
    Made,  // generated (or about to be); its request has not left, so no certificate can follow
    Sent,  // its request may have gone out without an answer: the authority may have accepted it
};

struct LedgerEntry {
    std::string token;  // LedgerTokenKey of the token it was made on
    LedgerState state = LedgerState::Made;
    Bytes id;       // the provisional CKA_ID, fresh for each generation
    Bytes modulus;  // empty until the public key was read back
};

// The token's identity here: its serial number, manufacturer and model fields, in hexadecimal.
std::string LedgerTokenKey(const zel_token& token);

// Whether the entry may be acted on: its identifier has the form only this program gives ("OBJECT
// ID", a blank, 32 hexadecimal digits) and its public key's modulus is recorded. Any other entry
// (an edited or planted line, a generation cut before its key was read) proves nothing.
bool ProvesOwnPair(const LedgerEntry& entry);

// The entries, as written; a missing file counts as none. Lines that are not entries are not
// among them; `unread`, when given, receives their number.
std::vector<LedgerEntry> LoadKeyPairLedger(std::size_t* unread = nullptr);
// Adds the entry, or replaces the one with its token and identifier; every other line stays as it
// is. True only when the file was written, flushed to the disk and reads back with the entry.
bool RecordKeyPair(const LedgerEntry& entry);
// Removes the entry with this token and identifier.
void ForgetKeyPair(const std::string& token, const Bytes& id);

}  // namespace qe
