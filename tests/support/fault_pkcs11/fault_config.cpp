// A PKCS#11 module for tests: forwards every call to SoftHSM2 (or another token library), records
// each call the program makes in order with its arguments and templates, and changes what the token
// shows or answers as the file named by QE_FAULT_PKCS11_CONFIG says. The file is read again on
// every load.
//
// One setting a line; numbers are decimal or 0x hex, mechanisms a number or a CKM_ name below:
//   forward PATH                 the token library to forward to, instead of SoftHSM2 (read at
//                                the first load in the process)
//   record PATH                  append "C_Name key=value ... [type=hex,...] -> 0xRV" per call
//   record-time                  add " us=N" to each record line: microseconds the call took
//   slot-count N                 C_GetSlotList asked for the count answers N
//   refuse-attribute TYPE [RV]   C_GenerateKeyPair or C_CreateObject with TYPE in a template
//                                answers RV, CKR_ATTRIBUTE_TYPE_INVALID unless given (a token
//                                that does not take it)
//   fixed-key-slot               C_GenerateKeyPair generates into the identifier of the first
//                                certificate, destroying the keys that had it (PIV slots)
//   load-once                    C_GetFunctionList fails when this file was unloaded and loaded
//                                again in the process (libraries that crash on a reload)
//   fail CALL RV [skip N] [times M]        answer RV without calling the token
//   fail-after CALL RV [skip N] [times M]  call the token, then answer RV
//   exit CALL [after] [skip N]   CALL ends the process at once with status 77, before the token
//                                sees it or after it answered (a pulled plug, a lost power)
//   seen-file PATH               rules count calls over every load of the module in the process
//                                until PATH is removed (without it each load counts afresh)
//   crash CALL                   CALL aborts the process (a library that crashes there; a
//                                segmentation fault would be caught by AddressSanitizer)
//   hang CALL                    CALL sleeps for an hour (a library that never answers)
//   wait-for CALL PATH           CALL waits until PATH exists (a customer slow at the keypad)
//   pinpad-login PIN             C_Login takes only a NULL PIN of length 0 (else answers
//                                CKR_ARGUMENTS_BAD) and logs in to SoftHSM2 with PIN: a reader
//                                with its own keypad (set flags-set 0x100 to show it)
//   noise CALL                   CALL prints on standard output (libraries that chatter)
//   delay CALL MS                CALL sleeps MS milliseconds first (a slow C_Finalize)
//   reset-login CALL [skip N]    once, the token logs out before CALL (a card reset by another
//                                process); if the token still answers CKR_OK, CALL answers
//                                CKR_USER_NOT_LOGGED_IN
//   finalize-before CALL [skip N]  once, the token is finalised before CALL (by a co-user)
//   fork-guard                   calls from a forked process answer CKR_CRYPTOKI_NOT_INITIALIZED
//   wrong-pin RV [lock N]        a wrong PIN answers RV and sets no flag; after N of them (counted
//                                like the rules) C_Login answers CKR_PIN_LOCKED
//   pin-to-be-changed PATH [login]  until PATH exists the token shows CKF_USER_PIN_TO_BE_CHANGED
//                                and C_SignInit and C_DecryptInit answer CKR_PIN_EXPIRED (with
//                                login, C_Login too, logging nobody in); a C_SetPIN that SoftHSM2
//                                takes creates PATH (with pinpad-login: NULL PINs, and the PIN
//                                stays the keypad's)
//   always-authenticate          generated private keys get CKA_ALWAYS_AUTHENTICATE (enforced)
//   extractable-keys             generated private keys are made extractable unless the program
//                                said otherwise (a token whose defaults expose keys)
//   explicit-decrypt             generated private keys decrypt only with CKA_DECRYPT given;
//                                C_DecryptInit refuses the others with CKR_DEVICE_ERROR
//   assign-key-id                generated keys take the SHA-1 of the modulus as CKA_ID
//   session-public-key           generated public keys are session objects
//   no-length-query              C_Sign or C_Decrypt asked for the length ends the operation
//   pad-modulus                  CKA_MODULUS reads, and is searched for, with a leading zero octet
//   private-modulus-hidden       private keys answer CKA_MODULUS with CKR_ATTRIBUTE_TYPE_INVALID
//                                (cards whose library knows it only from the public key)
//   private-certificates         no certificate is found nor read before a user login
//   session-limit N              C_OpenSession answers CKR_SESSION_COUNT past N open sessions
//   renumber-slots               each C_GetSlotList with a buffer renumbers the slots; older ids
//                                answer CKR_SLOT_ID_INVALID
//   [token LABEL]                the token settings below apply to that token only, on top of
//                                those given for all tokens before
// Token settings: absent (the slot's calls see no token) | refuse-rw-session (write-protected) |
//   session-state N | flags-set N | flags-clear N (token information flags) |
//   product-name TEXT (one vendor hardware-feature object each) |
//   rsa-key-sizes MIN MAX (what C_GetMechanismInfo reports for key pair generation) |
//   free-memory PUBLIC PRIVATE (the free memory the token information reports) |
//   mechanism-flags M N (the flags C_GetMechanismInfo reports) |
//   hide-mechanism M... (C_GetMechanismInfo and the Init calls of operations refuse them) |
//   serial TEXT (the token's serial number) | label TEXT (the label it shows) | nul-padding (token
//   strings padded with NULs)

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "fault_module.h"

namespace qe::fault {

State g;

bool On(const char* name) {
    return g.config.switches.count(name) != 0;
}

// pin-to-be-changed: the token still wants its PIN changed.
bool PinChangeDue() {
    return !g.config.pinChanged.empty() && access(g.config.pinChanged.c_str(), F_OK) != 0;
}

unsigned long Number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 0);
}

namespace {

CK_MECHANISM_TYPE Mechanism(const std::string& text) {
    static const std::map<std::string, CK_MECHANISM_TYPE> kNames = {
        {"CKM_RSA_PKCS_KEY_PAIR_GEN", CKM_RSA_PKCS_KEY_PAIR_GEN},
        {"CKM_RSA_PKCS", CKM_RSA_PKCS},
        {"CKM_RSA_X_509", CKM_RSA_X_509},
        {"CKM_RSA_PKCS_PSS", CKM_RSA_PKCS_PSS},
        {"CKM_SHA256_RSA_PKCS", CKM_SHA256_RSA_PKCS}};
    const auto it = kNames.find(text);
    return it != kNames.end() ? it->second : Number(text);
}

// One line of the file as the directives read it: the key, all after it, its first three words.
struct Line {
    Config& c;
    TokenRules*& rules;  // those of all tokens, or of the last [token LABEL]
    std::string key, rest, a, b, third;
};

// A rule on a call; "after", "skip N" and "times M" may follow the call.
void Rule(Line& l, char act, CK_RV rv, bool forward, unsigned long times = 1) {
    CallRule& rule = l.c.calls.emplace_back(CallRule{l.a, rv, forward, 0, times, 0, act});
    std::istringstream words(l.rest);  // the call and the RV are none of these words
    for (std::string word, value; words >> word;) {
        rule.forward = rule.forward || word == "after";
        if ((word == "skip" || word == "times") && words >> value) {
            (word == "skip" ? rule.skip : rule.times) = Number(value);
        }
    }
}

std::pair<CK_ULONG, CK_ULONG> Pair(const Line& l) {
    return {Number(l.a), Number(l.b)};
}

// The directives with a value; any other key is a switch (On).
const std::map<std::string, void (*)(Line&)> kDirectives = {
    {"record", [](Line& l) { l.c.record = l.rest; }},
    {"forward", [](Line& l) { l.c.target = l.rest; }},
    {"seen-file", [](Line& l) { l.c.seenFile = l.rest; }},
    {"exit", [](Line& l) { Rule(l, 'e', CKR_OK, false); }},
    {"reset-login", [](Line& l) { Rule(l, 'r', CKR_USER_NOT_LOGGED_IN, true); }},
    {"finalize-before", [](Line& l) { Rule(l, 'f', CKR_OK, true); }},
    {"fail", [](Line& l) { Rule(l, 0, Number(l.b), false, ULONG_MAX); }},
    {"fail-after", [](Line& l) { Rule(l, 0, Number(l.b), true, ULONG_MAX); }},
    {"refuse-attribute",
     [](Line& l) {
         l.c.refusedAttributes[Number(l.a)] =
             l.b.empty() ? CKR_ATTRIBUTE_TYPE_INVALID : Number(l.b);
     }},
    {"slot-count", [](Line& l) { l.c.slotCount = Number(l.a); }},
    {"session-limit", [](Line& l) { l.c.sessionLimit = Number(l.a); }},
    {"wrong-pin",
     [](Line& l) {
         l.c.wrongPin = Number(l.a);
         l.c.pinLock = l.b == "lock" && !l.third.empty() ? Number(l.third) : l.c.pinLock;
     }},
    {"crash", [](Line& l) { l.c.crash.insert(l.a); }},
    {"hang", [](Line& l) { l.c.hang.insert(l.a); }},
    {"noise", [](Line& l) { l.c.noise.insert(l.a); }},
    {"wait-for", [](Line& l) { l.c.waitFor[l.a] = l.b; }},
    {"delay", [](Line& l) { l.c.delay[l.a] = l.b; }},
    {"pin-to-be-changed",
     [](Line& l) {
         l.c.pinChanged = l.a;
         l.c.pinExpiredLogin = l.b == "login";
     }},
    {"pinpad-login", [](Line& l) { l.c.pinpadPin = l.a; }},
    {"[token",
     [](Line& l) { l.rules = &(l.c.byLabel[l.rest.substr(0, l.rest.find(']'))] = l.c.all); }},
    {"absent", [](Line& l) { l.rules->absent = true; }},
    {"refuse-rw-session", [](Line& l) { l.rules->refuseReadWrite = true; }},
    {"nul-padding", [](Line& l) { l.rules->nulPadding = true; }},
    {"serial", [](Line& l) { l.rules->serial = l.rest; }},
    {"label", [](Line& l) { l.rules->label = l.rest; }},
    {"session-state", [](Line& l) { l.rules->sessionState = Number(l.a); }},
    {"flags-set", [](Line& l) { l.rules->flagsSet |= Number(l.a); }},
    {"flags-clear", [](Line& l) { l.rules->flagsClear |= Number(l.a); }},
    {"product-name", [](Line& l) { l.rules->productNames.push_back(l.rest); }},
    {"rsa-key-sizes", [](Line& l) { l.rules->rsaKeySizes = Pair(l); }},
    {"free-memory", [](Line& l) { l.rules->freeMemory = Pair(l); }},
    {"mechanism-flags", [](Line& l) { l.rules->mechanismFlags[Mechanism(l.a)] = Number(l.b); }},
    {"hide-mechanism",
     [](Line& l) {
         std::istringstream names(l.rest);
         for (std::string name; names >> name;) {
             l.rules->hidden.insert(Mechanism(name));
         }
     }},
};

}  // namespace

Config ParseConfig(std::istream& lines) {
    Config c;
    TokenRules* rules = &c.all;
    for (std::string text; std::getline(lines, text);) {
        std::istringstream in(text);
        std::string key, rest;
        in >> key >> std::ws;
        std::getline(in, rest);
        Line line{c, rules, key, rest, {}, {}, {}};
        std::istringstream(rest) >> line.a >> line.b >> line.third;
        if (const auto directive = kDirectives.find(key); directive != kDirectives.end()) {
            directive->second(line);
        } else {
            c.switches.insert(key);
        }
    }
    if (!c.seenFile.empty()) {
        std::ifstream seen(c.seenFile);
        for (CallRule& rule : c.calls) {
            seen >> rule.seen;
        }
        seen >> c.wrongPins;
    }
    return c;
}

void SaveSeen() {
    std::ofstream seen(g.config.seenFile);
    for (const CallRule& rule : g.config.calls) {
        seen << rule.seen << "\n";
    }
    seen << g.config.wrongPins << "\n";
}

// The loads of this file in the process, this load included. Constant-initialised: it is set
// while the library loads, possibly before `g` is constructed.
unsigned long g_loads = 0;

// Counts the loads of this file in the process. The count lives in the environment, which an
// unload leaves in place; the variable is named after the file, so the twin counts its own.
__attribute__((constructor)) void CountLoad() {
    Dl_info info{};
    std::string name = "QE_FAULT_PKCS11_LOADS_";
    if (dladdr(reinterpret_cast<void*>(&CountLoad), &info) != 0 && info.dli_fname != nullptr) {
        for (const char* c = std::strrchr(info.dli_fname, '/'); c != nullptr && *++c != '\0';) {
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
    }
    const char* before = std::getenv(name.c_str());
    g_loads = (before != nullptr ? Number(before) : 0) + 1;
    setenv(name.c_str(), std::to_string(g_loads).c_str(), 1);
}
}  // namespace qe::fault
