#pragma once

#include <climits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace qe::fault {

// What the fault module changes for the tokens of one scope (all tokens, or one label).
struct TokenRules {
    std::vector<std::string> productNames;  // one vendor hardware-feature object each
    bool refuseReadWrite = false;           // C_OpenSession with CKF_RW_SESSION fails
    bool absent = false;                    // the slot shows no token
    std::optional<CK_STATE> sessionState;   // C_GetSessionInfo reports this state
    CK_FLAGS flagsSet = 0;
    CK_FLAGS flagsClear = 0;
    std::optional<std::string> manufacturer;
    std::optional<std::string> model;
    std::optional<std::string> serial;
    std::optional<std::pair<CK_ULONG, CK_ULONG>> rsaKeySizes;  // min, max in bits
    std::set<CK_MECHANISM_TYPE> hiddenMechanisms;
};

// A chosen result for a chosen call: before forwarding (the call does not reach the token) or
// after it (the token did the work, the caller sees the result).
struct CallRule {
    std::string call;
    CK_RV rv = CKR_OK;
    bool forward = false;
    unsigned skip = 0;          // calls of that name let through first
    unsigned times = UINT_MAX;  // calls affected after that
    unsigned seen = 0;
};

struct Config {
    std::string library;
    std::string record;
    bool recordTime = false;             // each record line also gives the call's duration
    std::optional<CK_ULONG> signLength;  // what C_Sign without a buffer reports
    TokenRules allTokens;
    std::map<std::string, TokenRules> byLabel;
    std::vector<CallRule> calls;
};

// Parses the configuration text:
//   library PATH                the real module (default: SoftHSM2)
//   record PATH                 append one line per call to this file
//   record-time                 add " us=N" to each line: microseconds the call took
//   sign-length N               C_Sign asked for the length answers N
//   fail CALL RV [skip N] [times M]        answer RV without calling the token
//   fail-after CALL RV [skip N] [times M]  call the token, then answer RV
//   [token LABEL]               the lines below apply to the token with that label only
// and, for all tokens or one label:
//   product-name TEXT | refuse-rw-session | absent | session-state N | flags-set N |
//   flags-clear N | manufacturer TEXT | model TEXT | serial TEXT | rsa-key-sizes MIN MAX |
//   hide-mechanism M...
// Numbers are decimal or 0x hex; mechanisms may be given by their CKM_ names.
Config ParseConfig(const std::string& text);

}  // namespace qe::fault
