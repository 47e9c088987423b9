#pragma once

#include <string>
#include <vector>

#include "token/zel_token.h"
#include "toolkit/bytes.h"

namespace qe {

// The key pairs this program generated whose fate is not settled, kept between runs in
// StateDir() + "/key-pairs": what lets a later run prove that a pair on the token is one it made,
// and nothing else does.
enum class LedgerState {
    Made,  // generated (or about to be); its request has not left, so no certificate can follow
    Sent,  // its request went out without an answer: the authority may have accepted it
};

struct LedgerEntry {
    std::string token;  // LedgerTokenKey of the token it was made on
    LedgerState state = LedgerState::Made;
    Bytes id;       // the provisional CKA_ID, fresh for each generation
    Bytes modulus;  // empty until the public key was read back
};

// The token's identity here: its serial number, manufacturer and model fields, in hexadecimal.
std::string LedgerTokenKey(const zel_token& token);

// The entries; a missing file, or lines that cannot be read, count as none.
std::vector<LedgerEntry> LoadKeyPairLedger();
// Adds the entry, or replaces the one with its token and identifier. A file that cannot be
// written costs a log line only: an entry proves a pair ours for a later clean-up, and a renewal
// does not wait on it.
void RecordKeyPair(const LedgerEntry& entry);
// Removes the entry with this token and identifier.
void ForgetKeyPair(const std::string& token, const Bytes& id);

}  // namespace qe
