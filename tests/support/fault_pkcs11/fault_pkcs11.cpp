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

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <p11-kit/pkcs11.h>
#include <unistd.h>

#ifndef QE_SOFTHSM_LIBRARY
#define QE_SOFTHSM_LIBRARY "/usr/lib/softhsm/libsofthsm2.so"
#endif

namespace qe::fault {
namespace {

constexpr CK_ULONG kVendorFeatureType = 0x80005002;
constexpr CK_ATTRIBUTE_TYPE kProductNameAttribute = 0x80001101;
// Handles of the injected hardware-feature objects; SoftHSM2's own handles stay far below.
constexpr CK_OBJECT_HANDLE kFirstFakeObject = 0x7E000000;

struct TokenRules {
    bool absent = false;           // the slot shows no token
    bool refuseReadWrite = false;  // write-protected: C_OpenSession with CKF_RW_SESSION fails
    bool nulPadding = false;
    std::optional<std::string> serial, label;
    std::optional<CK_STATE> sessionState;
    CK_FLAGS flagsSet = 0, flagsClear = 0;
    std::vector<std::string> productNames;
    std::optional<std::pair<CK_ULONG, CK_ULONG>> rsaKeySizes, freeMemory;
    std::map<CK_MECHANISM_TYPE, CK_FLAGS> mechanismFlags;
    std::set<CK_MECHANISM_TYPE> hidden;
};

struct CallRule {
    std::string call;
    CK_RV rv = CKR_OK;
    bool forward = false;
    unsigned long skip = 0;
    unsigned long times = ULONG_MAX;
    unsigned long seen = 0;
    char act = 0;  // 'e'xit, 'r'eset-login, 'f'inalize-before
};

constexpr int kExitStatus = 77;

struct Config {
    std::string target = QE_SOFTHSM_LIBRARY;  // the library calls go to
    std::string record;
    std::string seenFile;
    std::set<std::string> switches;  // the settings without a value
    std::map<CK_ATTRIBUTE_TYPE, CK_RV> refusedAttributes;
    std::optional<CK_ULONG> slotCount;
    std::optional<CK_ULONG> sessionLimit;
    std::optional<CK_RV> wrongPin;
    unsigned long pinLock = ULONG_MAX, wrongPins = 0;
    std::vector<CallRule> calls;
    std::set<std::string> crash, hang, noise;
    std::map<std::string, std::string> waitFor, delay;
    std::optional<std::string> pinpadPin;
    std::string pinChanged;  // pin-to-be-changed: the file that says the PIN was changed
    bool pinExpiredLogin = false;
    TokenRules all;
    std::map<std::string, TokenRules> byLabel;
};

struct State {
    void* library = nullptr;
    CK_FUNCTION_LIST* real = nullptr;
    CK_FUNCTION_LIST list{};
    Config config;
    std::map<CK_SESSION_HANDLE, std::vector<CK_OBJECT_HANDLE>> pendingFakes;
    // SoftHSM2 initialised by a C_Initialize this module answered with a failure: nobody will
    // finalise it, and it stays loaded, so the next load finalises it.
    bool hiddenInitialisation = false;
    std::set<CK_SESSION_HANDLE> sessions;  // opened, perhaps closed since
    unsigned long slotLists = 0;           // renumber-slots: the numbering shown
    pid_t initialiser = 0;
    ~State() {
        if (library != nullptr) {
            dlclose(library);
        }
    }
} g;

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

Config ParseConfig(std::istream& lines) {
    Config c;
    TokenRules* rules = &c.all;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string key;
        std::string rest;
        in >> key >> std::ws;
        std::getline(in, rest);
        std::istringstream words(rest);
        std::string a;
        std::string b;
        words >> a >> b;
        if (key == "record") {
            c.record = rest;
        } else if (key == "forward") {
            c.target = rest;
        } else if (key == "seen-file") {
            c.seenFile = rest;
        } else if (key == "exit" || key == "reset-login" || key == "finalize-before") {
            CallRule& rule = c.calls.emplace_back(
                CallRule{a, key[0] == 'r' ? CKR_USER_NOT_LOGGED_IN : CKR_OK, key[0] != 'e'});
            rule.times = 1;
            rule.act = key[0];
            std::istringstream options(rest);
            for (options >> a; options >> b;) {
                rule.forward = rule.forward || b == "after";
                if (b == "skip" && options >> b) {
                    rule.skip = Number(b);
                }
            }
        } else if (key == "refuse-attribute") {
            c.refusedAttributes[Number(a)] = b.empty() ? CKR_ATTRIBUTE_TYPE_INVALID : Number(b);
        } else if (key == "slot-count") {
            c.slotCount = Number(a);
        } else if (key == "session-limit") {
            c.sessionLimit = Number(a);
        } else if (key == "wrong-pin") {
            c.wrongPin = Number(a);
            c.pinLock = b == "lock" && words >> b ? Number(b) : c.pinLock;
        } else if (key == "fail" || key == "fail-after") {
            CallRule& rule = c.calls.emplace_back(CallRule{a, Number(b), key == "fail-after"});
            for (std::string value; words >> a >> value;) {
                (a == "skip" ? rule.skip : rule.times) = Number(value);
            }
        } else if (key == "crash" || key == "hang" || key == "noise") {
            (key == "crash" ? c.crash : key == "hang" ? c.hang : c.noise).insert(a);
        } else if (key == "wait-for" || key == "delay") {
            (key == "delay" ? c.delay : c.waitFor)[a] = b;
        } else if (key == "pin-to-be-changed") {
            c.pinChanged = a;
            c.pinExpiredLogin = b == "login";
        } else if (key == "pinpad-login") {
            c.pinpadPin = a;
        } else if (key == "[token") {
            rules = &(c.byLabel[rest.substr(0, rest.find(']'))] = c.all);
        } else if (key == "absent" || key == "refuse-rw-session") {
            (key == "absent" ? rules->absent : rules->refuseReadWrite) = true;
        } else if (key == "nul-padding") {
            rules->nulPadding = true;
        } else if (key == "serial" || key == "label") {
            (key == "serial" ? rules->serial : rules->label) = rest;
        } else if (key == "session-state") {
            rules->sessionState = Number(a);
        } else if (key == "flags-set" || key == "flags-clear") {
            (key == "flags-set" ? rules->flagsSet : rules->flagsClear) |= Number(a);
        } else if (key == "product-name") {
            rules->productNames.push_back(rest);
        } else if (key == "rsa-key-sizes" || key == "free-memory") {
            (key == "rsa-key-sizes" ? rules->rsaKeySizes : rules->freeMemory) =
                std::make_pair(Number(a), Number(b));
        } else if (key == "mechanism-flags") {
            rules->mechanismFlags[Mechanism(a)] = Number(b);
        } else if (key == "hide-mechanism") {
            for (std::istringstream names(rest); names >> a;) {
                rules->hidden.insert(Mechanism(a));
            }
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

// ---- the record -----------------------------------------------------------------------------

std::string Num(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

// "[type=hex,type=hex]"; with `values` false only the types.
std::string TemplateText(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool values = true) {
    std::string text = "[";
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        text += (i == 0 ? "" : ",") + Num(attributes[i].type) + (values ? "=" : "");
        const auto* bytes = static_cast<const unsigned char*>(attributes[i].pValue);
        for (CK_ULONG k = 0; values && bytes != nullptr && k < attributes[i].ulValueLen; ++k) {
            text += "0123456789abcdef"[bytes[k] >> 4];
            text += "0123456789abcdef"[bytes[k] & 15];
        }
    }
    return text + "]";
}

std::string MechanismText(const CK_MECHANISM* mechanism) {
    return " mech=" + Num(mechanism != nullptr ? mechanism->mechanism : ~0UL);
}

// One call: the rule that may change its result, and its record line.
class Call {
public:
    explicit Call(const std::string& name, std::string details = {})
        : text_(name + details), start_(std::chrono::steady_clock::now()) {
        if (g.config.crash.count(name) != 0) {
            std::abort();
        }
        while (g.config.hang.count(name) != 0) {
            sleep(3600);
        }
        if (const auto wait = g.config.waitFor.find(name); wait != g.config.waitFor.end()) {
            while (access(wait->second.c_str(), F_OK) != 0) {
                usleep(10000);
            }
        }
        if (const auto delay = g.config.delay.find(name); delay != g.config.delay.end()) {
            usleep(static_cast<useconds_t>(Number(delay->second) * 1000));
        }
        if (g.config.noise.count(name) != 0) {
            std::fputs("a library talking", stdout);
            std::fflush(stdout);
        }
        bool counted = false;
        for (CallRule& rule : g.config.calls) {
            counted = counted || rule.call == name;
            if (rule.call == name && ++rule.seen > rule.skip &&
                rule.seen - rule.skip <= rule.times) {
                (rule.act == 'e' ? exit_ : rule_) = &rule;
                if (rule.act == 'f') {
                    g.real->C_Finalize(nullptr);
                }
                if (rule.act == 'r') {  // another process reset the card
                    std::for_each(g.sessions.begin(), g.sessions.end(), g.real->C_Logout);
                }
            }
        }
        static const CallRule notInitialised{"", CKR_CRYPTOKI_NOT_INITIALIZED};
        if (On("fork-guard") && g.initialiser != 0 && g.initialiser != getpid() &&
            name != "C_Initialize") {
            rule_ = &notInitialised;
        }
        if (counted && !g.config.seenFile.empty()) {
            SaveSeen();
        }
        if (exit_ != nullptr && !exit_->forward) {
            _exit(kExitStatus);
        }
    }
    void Add(const std::string& detail) { text_ += " " + detail; }

    // Runs the call's work unless a rule answers in its place; records the result.
    template <typename Work>
    CK_RV Run(Work work) {
        CK_RV rv = rule_ != nullptr && !rule_->forward ? rule_->rv : work();
        if (exit_ != nullptr) {
            _exit(kExitStatus);
        }
        // reset-login and finalize-before leave the answer to the token unless it is CKR_OK
        rv = rule_ != nullptr && (rule_->act == 0 || rv == CKR_OK) ? rule_->rv : rv;
        if (On("record-time")) {
            // Taken before the record is written, so the writing does not count.
            Add("us=" + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::steady_clock::now() - start_)
                                           .count()));
        }
        if (!g.config.record.empty()) {
            std::ofstream(g.config.record, std::ios::app) << text_ << " -> " << Num(rv) << "\n";
        }
        return rv;
    }

private:
    std::string text_;
    std::chrono::steady_clock::time_point start_;
    const CallRule* rule_ = nullptr;
    const CallRule* exit_ = nullptr;
};

// ---- the token rules ------------------------------------------------------------------------

const TokenRules& ForSlot(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (g.config.byLabel.empty() || g.real->C_GetTokenInfo(slot, &info) != CKR_OK) {
        return g.config.all;
    }
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    const auto it = g.config.byLabel.find(label);
    return it != g.config.byLabel.end() ? it->second : g.config.all;
}

const TokenRules& ForSession(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    return g.real->C_GetSessionInfo(session, &info) == CKR_OK ? ForSlot(info.slotID) : g.config.all;
}

bool Hidden(const TokenRules& rules, const CK_MECHANISM* mechanism) {
    return mechanism != nullptr && rules.hidden.count(mechanism->mechanism) != 0;
}

// renumber-slots: slots show as their id plus 2^32 times the slot lists so far; an id of an older
// list becomes one no slot has.
CK_SLOT_ID RealSlot(CK_SLOT_ID slot) {
    return !On("renumber-slots") ? slot : slot >> 32 == g.slotLists ? slot & 0xFFFFFFFF : ~0UL;
}

CK_SLOT_ID ShownSlot(CK_SLOT_ID slot) {
    return On("renumber-slots") ? slot + (g.slotLists << 32) : slot;
}

bool HiddenCertificate(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    CK_SESSION_INFO info{};
    CK_OBJECT_CLASS type = 0;
    CK_ATTRIBUTE attribute{CKA_CLASS, &type, sizeof type};
    return On("private-certificates") && g.real->C_GetSessionInfo(session, &info) == CKR_OK &&
           info.state != CKS_RO_USER_FUNCTIONS && info.state != CKS_RW_USER_FUNCTIONS &&
           g.real->C_GetAttributeValue(session, object, &attribute, 1) == CKR_OK &&
           type == CKO_CERTIFICATE;
}

CK_RV Initialize(CK_VOID_PTR arguments) {
    bool initialised = false;
    const CK_RV rv = Call("C_Initialize").Run([&] {
        const CK_RV real = g.real->C_Initialize(arguments);
        initialised = real == CKR_OK;
        g.initialiser = initialised ? getpid() : g.initialiser;
        return real;
    });
    g.hiddenInitialisation = g.hiddenInitialisation || (initialised && rv != CKR_OK);
    return rv;
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    return Call("C_Finalize").Run([&] {
        const CK_RV rv = g.real->C_Finalize(reserved);
        g.hiddenInitialisation = g.hiddenInitialisation && rv != CKR_OK;
        return rv;
    });
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID* slots, CK_ULONG* count) {
    return Call("C_GetSlotList", std::string(" present=") + (present ? "1" : "0")).Run([&] {
        CK_ULONG realCount = 0;
        CK_RV rv = count == nullptr ? CKR_ARGUMENTS_BAD
                                    : g.real->C_GetSlotList(present, nullptr, &realCount);
        std::vector<CK_SLOT_ID> all(realCount);
        if (rv == CKR_OK && realCount != 0) {
            rv = g.real->C_GetSlotList(present, all.data(), &realCount);
        }
        if (rv != CKR_OK) {
            return rv;
        }
        std::vector<CK_SLOT_ID> shown;
        std::copy_if(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(realCount),
                     std::back_inserter(shown),
                     [&](CK_SLOT_ID slot) { return !present || !ForSlot(slot).absent; });
        if (slots != nullptr && *count < shown.size()) {
            rv = CKR_BUFFER_TOO_SMALL;
        } else if (slots != nullptr) {
            g.slotLists += On("renumber-slots") ? 1 : 0;
            std::transform(shown.begin(), shown.end(), slots, ShownSlot);
        }
        *count = slots == nullptr && g.config.slotCount ? *g.config.slotCount : shown.size();
        return rv;
    });
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    return Call("C_GetTokenInfo", " slot=" + Num(slot)).Run([&] {
        slot = RealSlot(slot);
        const TokenRules& rules = ForSlot(slot);
        const CK_RV rv = rules.absent ? CKR_TOKEN_NOT_PRESENT : g.real->C_GetTokenInfo(slot, info);
        if (rv == CKR_OK) {
            info->flags |= rules.flagsSet | (rules.refuseReadWrite ? CKF_WRITE_PROTECTED : 0) |
                           (PinChangeDue() ? CKF_USER_PIN_TO_BE_CHANGED : 0);
            // wrong-pin hides the count SoftHSM2 keeps
            info->flags &= ~rules.flagsClear & ~(g.config.wrongPin ? CKF_USER_PIN_COUNT_LOW : 0);
            if (rules.freeMemory) {
                info->ulFreePublicMemory = rules.freeMemory->first;
                info->ulFreePrivateMemory = rules.freeMemory->second;
            }
            for (auto [text, size, shown] : {std::tuple{info->serialNumber, 16, &rules.serial},
                                             {info->label, 32, &rules.label}}) {
                if (*shown) {
                    std::memset(text, ' ', size);
                    (*shown)->copy(reinterpret_cast<char*>(text), size);
                }
            }
            for (auto [text, size] : {std::pair{info->label, 32},
                                      {info->manufacturerID, 32},
                                      {info->model, 16},
                                      {info->serialNumber, 16}}) {
                for (; rules.nulPadding && size > 0 && text[size - 1] == ' '; --size) {
                    text[size - 1] = '\0';
                }
            }
        }
        return rv;
    });
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    return Call("C_GetMechanismInfo", " slot=" + Num(slot) + " mech=" + Num(type)).Run([&] {
        slot = RealSlot(slot);
        const TokenRules& rules = ForSlot(slot);
        const CK_RV rv = rules.hidden.count(type) != 0
                             ? CKR_MECHANISM_INVALID
                             : g.real->C_GetMechanismInfo(slot, type, info);
        if (rv == CKR_OK && rules.rsaKeySizes && type == CKM_RSA_PKCS_KEY_PAIR_GEN) {
            info->ulMinKeySize = rules.rsaKeySizes->first;
            info->ulMaxKeySize = rules.rsaKeySizes->second;
        }
        if (const auto flags = rules.mechanismFlags.find(type);
            rv == CKR_OK && flags != rules.mechanismFlags.end()) {
            info->flags = flags->second;
        }
        return rv;
    });
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE* session) {
    return Call("C_OpenSession", " slot=" + Num(slot) + " flags=" + Num(flags)).Run([&] {
        slot = RealSlot(slot);
        const TokenRules& rules = ForSlot(slot);
        std::erase_if(g.sessions, [](CK_SESSION_HANDLE open) {
            CK_SESSION_INFO info{};
            return g.real->C_GetSessionInfo(open, &info) != CKR_OK;
        });
        if (rules.absent) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (rules.refuseReadWrite && (flags & CKF_RW_SESSION) != 0) {
            return CKR_TOKEN_WRITE_PROTECTED;
        }
        const CK_RV rv = g.sessions.size() >= g.config.sessionLimit.value_or(ULONG_MAX)
                             ? CKR_SESSION_COUNT
                             : g.real->C_OpenSession(slot, flags, application, notify, session);
        if (rv == CKR_OK) {
            g.sessions.insert(*session);
        }
        return rv;
    });
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO* info) {
    return Call("C_GetSessionInfo").Run([&] {
        const CK_RV rv = g.real->C_GetSessionInfo(session, info);
        if (rv == CKR_OK) {
            info->state = ForSlot(info->slotID).sessionState.value_or(info->state);
            info->slotID = ShownSlot(info->slotID);
        }
        return rv;
    });
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
    // The PIN itself is never written down, only its length.
    return Call("C_Login", " user=" + Num(user) + " pinlen=" + std::to_string(length)).Run([&] {
        if (g.config.pinpadPin && (pin != nullptr || length != 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (g.config.wrongPins >= g.config.pinLock) {
            return CKR_PIN_LOCKED;
        }
        if (user == CKU_USER && g.config.pinExpiredLogin && PinChangeDue()) {
            return CKR_PIN_EXPIRED;
        }
        std::string typed = g.config.pinpadPin.value_or("");
        auto* given = g.config.pinpadPin ? reinterpret_cast<CK_UTF8CHAR*>(typed.data()) : pin;
        CK_RV rv = g.real->C_Login(session, user, given, given != pin ? typed.size() : length);
        if (rv == CKR_PIN_INCORRECT && g.config.wrongPin) {
            ++g.config.wrongPins;
            SaveSeen();  // without a seen-file, writes nowhere
            rv = *g.config.wrongPin;
        }
        return rv;
    });
}

CK_RV SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR* oldPin, CK_ULONG oldLength,
             CK_UTF8CHAR* newPin, CK_ULONG newLength) {
    // The PINs themselves are never written down, only the new one's length.
    return Call("C_SetPIN", " newlen=" + std::to_string(newLength)).Run([&] {
        std::string typed = g.config.pinpadPin.value_or("");
        auto* keypad = reinterpret_cast<CK_UTF8CHAR*>(typed.data());
        const CK_RV rv =
            !g.config.pinpadPin ? g.real->C_SetPIN(session, oldPin, oldLength, newPin, newLength)
            : oldPin != nullptr || newPin != nullptr
                ? CKR_ARGUMENTS_BAD
                : g.real->C_SetPIN(session, keypad, typed.size(), keypad, typed.size());
        if (rv == CKR_OK && !g.config.pinChanged.empty()) {
            std::ofstream(g.config.pinChanged) << "changed\n";
        }
        return rv;
    });
}

// ---- product-name: vendor hardware-feature objects that only name the product --------------

// The search the product name reader makes, as the record writes it.
const std::string& VendorFeatureSearch() {
    static const std::string text = [] {
        CK_ULONG values[] = {CKO_HW_FEATURE, kVendorFeatureType};
        CK_ATTRIBUTE search[] = {{CKA_CLASS, &values[0], sizeof(CK_ULONG)},
                                 {CKA_HW_FEATURE_TYPE, &values[1], sizeof(CK_ULONG)}};
        return TemplateText(search, 2);
    }();
    return text;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    const std::string search = TemplateText(attributes, count);
    return Call("C_FindObjectsInit", " " + search).Run([&] {
        // pad-modulus: the token keeps the zero octet, so only a value with it matches.
        std::vector<CK_ATTRIBUTE> pattern(attributes, attributes + count);
        CK_BYTE noModulus = 0;  // no key has this one
        for (CK_ATTRIBUTE& a : pattern) {
            if (On("pad-modulus") && a.type == CKA_MODULUS) {
                const bool padded = a.ulValueLen > 1 && *static_cast<CK_BYTE*>(a.pValue) == 0;
                a.pValue = padded ? static_cast<CK_BYTE*>(a.pValue) + 1 : &noModulus;
                a.ulValueLen = padded ? a.ulValueLen - 1 : 1;
            }
        }
        const CK_RV rv = g.real->C_FindObjectsInit(session, pattern.data(), count);
        std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
        fakes.clear();
        for (std::size_t i = 0; rv == CKR_OK && search == VendorFeatureSearch() &&
                                i < ForSession(session).productNames.size();
             ++i) {
            fakes.push_back(kFirstFakeObject + i);
        }
        return rv;
    });
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                  CK_ULONG* count) {
    Call call("C_FindObjects", " max=" + std::to_string(max));
    return call.Run([&] {
        std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
        const CK_ULONG given = std::min<CK_ULONG>(max, fakes.size());
        std::copy_n(fakes.begin(), given, objects);
        fakes.erase(fakes.begin(), fakes.begin() + static_cast<std::ptrdiff_t>(given));
        CK_RV rv = CKR_OK;
        CK_ULONG found = 0;
        do {  // a batch of hidden certificates only is not the end
            rv = g.real->C_FindObjects(session, objects + given, max - given, &found);
            found = rv == CKR_OK ? found : 0;
            *count =
                std::remove_if(objects + given, objects + given + found,
                               [&](auto object) { return HiddenCertificate(session, object); }) -
                (objects + given);
        } while (found > 0 && *count == 0);
        if (rv == CKR_OK) {
            *count += given;
            std::string handles;
            for (CK_ULONG i = 0; i < *count; ++i) {
                handles += (i == 0 ? "" : ",") + Num(objects[i]);
            }
            call.Add("found=" + std::to_string(*count) + " objects=" + handles);
        }
        return rv;
    });
}

// Recorded after the call: the types asked for, with the values read when a buffer was given.
// A product-name object has its name and nothing else.
CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    Call call("C_GetAttributeValue", " object=" + Num(object));
    return call.Run([&] {
        const std::vector<std::string>& names = ForSession(session).productNames;
        CK_RV rv = CKR_ATTRIBUTE_TYPE_INVALID;
        const bool pad = On("pad-modulus");
        for (CK_ULONG i = 0; pad && i < count; ++i) {  // room for the zero octet
            CK_ATTRIBUTE& a = attributes[i];
            a.ulValueLen -= a.type == CKA_MODULUS && a.pValue != nullptr && a.ulValueLen > 0;
        }
        if (HiddenCertificate(session, object)) {
            rv = CKR_OBJECT_HANDLE_INVALID;
        } else if (object < kFirstFakeObject || object - kFirstFakeObject >= names.size()) {
            rv = g.real->C_GetAttributeValue(session, object, attributes, count);
        } else if (count == 1 && attributes[0].type == kProductNameAttribute) {
            const std::string& name = names[object - kFirstFakeObject];
            rv = attributes[0].pValue == nullptr || attributes[0].ulValueLen >= name.size()
                     ? CKR_OK
                     : CKR_BUFFER_TOO_SMALL;
            if (rv == CKR_OK && attributes[0].pValue != nullptr) {
                std::memcpy(attributes[0].pValue, name.data(), name.size());
            }
            attributes[0].ulValueLen = rv == CKR_OK ? name.size() : CK_UNAVAILABLE_INFORMATION;
        }
        for (CK_ULONG i = 0; pad && i < count; ++i) {
            CK_ATTRIBUTE& a = attributes[i];
            if (a.type == CKA_MODULUS && a.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
                if (a.pValue != nullptr) {
                    std::memmove(static_cast<CK_BYTE*>(a.pValue) + 1, a.pValue, a.ulValueLen);
                    *static_cast<CK_BYTE*>(a.pValue) = 0;
                }
                ++a.ulValueLen;
            }
        }
        call.Add(TemplateText(attributes, count,
                              rv == CKR_OK && count > 0 && attributes[0].pValue != nullptr));
        return rv;
    });
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return Call("C_SetAttributeValue",
                " object=" + Num(object) + " " + TemplateText(attributes, count))
        .Run([&] { return g.real->C_SetAttributeValue(session, object, attributes, count); });
}

CK_RV Refused(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        if (const auto refused = g.config.refusedAttributes.find(attributes[i].type);
            refused != g.config.refusedAttributes.end()) {
            return refused->second;
        }
    }
    return CKR_OK;
}

CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE* object) {
    return Call("C_CreateObject", " " + TemplateText(attributes, count)).Run([&] {
        const CK_RV refused = Refused(attributes, count);
        return refused != CKR_OK ? refused
                                 : g.real->C_CreateObject(session, attributes, count, object);
    });
}

// ---- operations: a hidden mechanism is refused as the token would ---------------------------

template <std::size_t N>
struct CallName {
    char text[N];
    constexpr CallName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE),
          CallName Name>
CK_RV MechanismInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    return Call(Name.text, MechanismText(mechanism) + " key=" + Num(key)).Run([&] {
        const CK_RV rv = Hidden(ForSession(session), mechanism) ? CKR_MECHANISM_INVALID
                         : PinChangeDue()                       ? CKR_PIN_EXPIRED
                                          : (g.real->*Member)(session, mechanism, key);
        // explicit-decrypt: such a token tells a key's refusal as a device error
        return rv == CKR_KEY_FUNCTION_NOT_PERMITTED && On("explicit-decrypt") ? CKR_DEVICE_ERROR
                                                                              : rv;
    });
}

// Destroys the keys with the first certificate's identifier and points `id` at it: a fixed key
// slot, whatever was asked for. The certificate stays until one is written there.
void ClearFixedSlot(CK_SESSION_HANDLE session, CK_ATTRIBUTE& id) {
    static std::uint8_t slot[256];
    CK_OBJECT_CLASS classes[] = {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY};
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, nullptr, sizeof(CK_OBJECT_CLASS)},
                              {CKA_ID, slot, sizeof slot}};
    CK_OBJECT_HANDLE found[64];
    for (CK_ULONG i = 0, count = 0; i < 3; ++i) {
        pattern[0].pValue = &classes[i];
        g.real->C_FindObjectsInit(session, pattern, i == 0 ? 1 : 2);
        g.real->C_FindObjects(session, found, 64, &count);
        g.real->C_FindObjectsFinal(session);
        if (i == 0 && count > 0) {
            g.real->C_GetAttributeValue(session, found[0], &pattern[1], 1);  // its identifier
        }
        for (CK_ULONG k = 0; i > 0 && k < count; ++k) {
            g.real->C_DestroyObject(session, found[k]);
        }
    }
    id = pattern[1];
}

// Sets `type` to `value` in a template when `on`; with `keep`, only when the program gave none.
void Put(std::vector<CK_ATTRIBUTE>& attributes, bool on, CK_ATTRIBUTE_TYPE type, bool value,
         bool keep = false) {
    static CK_BBOOL values[] = {CK_FALSE, CK_TRUE};
    const auto it = std::find_if(attributes.begin(), attributes.end(),
                                 [&](const CK_ATTRIBUTE& given) { return given.type == type; });
    if (on && (it == attributes.end() || !keep)) {
        *(it == attributes.end() ? &attributes.emplace_back() : &*it) = {type, &values[value], 1};
    }
}

// assign-key-id: the keys take the SHA-1 of the modulus as CKA_ID, hashed by the token.
void AssignKeyId(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE publicKey,
                 CK_OBJECT_HANDLE privateKey) {
    CK_BYTE modulus[1024];
    CK_BYTE id[20];
    CK_ULONG length = sizeof id;
    CK_ATTRIBUTE attribute{CKA_MODULUS, modulus, sizeof modulus};
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    if (g.real->C_GetAttributeValue(session, privateKey, &attribute, 1) == CKR_OK &&
        g.real->C_DigestInit(session, &sha1) == CKR_OK &&
        g.real->C_Digest(session, modulus, attribute.ulValueLen, id, &length) == CKR_OK) {
        attribute = {CKA_ID, id, length};
        g.real->C_SetAttributeValue(session, publicKey, &attribute, 1);
        g.real->C_SetAttributeValue(session, privateKey, &attribute, 1);
    }
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                      CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                      CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
    return Call("C_GenerateKeyPair", MechanismText(mechanism) + " " +
                                         TemplateText(publicTemplate, publicCount) + " " +
                                         TemplateText(privateTemplate, privateCount))
        .Run([&] {
            CK_ATTRIBUTE slot{};
            if (On("fixed-key-slot")) {
                ClearFixedSlot(session, slot);
            }
            std::vector<CK_ATTRIBUTE> templates[2];
            for (const auto& [attributes, count] :
                 {std::pair{publicTemplate, publicCount}, {privateTemplate, privateCount}}) {
                for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
                    if (const CK_RV refused = Refused(attributes + i, 1); refused != CKR_OK) {
                        return refused;
                    }
                    const bool id = attributes[i].type == CKA_ID && On("fixed-key-slot");
                    templates[attributes == privateTemplate].push_back(id ? slot : attributes[i]);
                }
            }
            Put(templates[0], On("session-public-key"), CKA_TOKEN, false);
            Put(templates[1], On("always-authenticate"), CKA_ALWAYS_AUTHENTICATE, true);
            Put(templates[1], On("explicit-decrypt"), CKA_DECRYPT, false, true);
            Put(templates[1], On("extractable-keys"), CKA_EXTRACTABLE, true, true);
            const CK_RV rv = g.real->C_GenerateKeyPair(session, mechanism, templates[0].data(),
                                                       templates[0].size(), templates[1].data(),
                                                       templates[1].size(), publicKey, privateKey);
            if (rv == CKR_OK && On("assign-key-id")) {
                AssignKeyId(session, *publicKey, *privateKey);
            }
            return rv;
        });
}

// C_Sign and C_Decrypt. no-length-query runs a length query as the whole operation, into scrap,
// which ends it.
template <CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*,
                                             CK_ULONG*),
          CallName Name>
CK_RV Finish(CK_SESSION_HANDLE session, CK_BYTE* in, CK_ULONG length, CK_BYTE* out,
             CK_ULONG* outLength) {
    return Call(Name.text).Run([&] {
        CK_BYTE scrap[1024];
        const bool query = out == nullptr && outLength != nullptr && On("no-length-query");
        if (query) {
            *outLength = sizeof scrap;
        }
        return (g.real->*Member)(session, in, length, query ? scrap : out, outLength);
    });
}

// ---- the other calls the program makes: recorded, the rules applied, forwarded ---------------

template <typename Fn>
struct Forwarder;

template <typename... Args>
struct Forwarder<CK_RV (*)(Args...)> {
    template <CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), CallName Name, bool Slot = false>
    static CK_RV Forward(Args... args) {
        return Call(Name.text).Run([&] {
            if constexpr (Slot) {  // the first argument is a slot as shown
                std::get<0>(std::tie(args...)) = RealSlot(std::get<0>(std::tie(args...)));
            }
            return (g.real->*Member)(args...);
        });
    }
};

#define QE_FORWARD(f) \
    g.list.f = &Forwarder<decltype(g.list.f)>::template Forward<&CK_FUNCTION_LIST::f, #f>
#define QE_SLOT(f) \
    g.list.f = &Forwarder<decltype(g.list.f)>::template Forward<&CK_FUNCTION_LIST::f, #f, true>
#define QE_FINISH(f) g.list.f = &Finish<&CK_FUNCTION_LIST::f, #f>
#define QE_INIT(f) g.list.f = &MechanismInit<&CK_FUNCTION_LIST::f, #f>
#define QE_OWN(f) g.list.C_##f = &f

void BuildList() {
    g.list = *g.real;
    QE_FORWARD(C_GetInfo), QE_SLOT(C_GetSlotInfo), QE_FORWARD(C_FindObjectsFinal),
        QE_SLOT(C_InitToken), QE_FORWARD(C_InitPIN), QE_FORWARD(C_CloseSession),
        QE_SLOT(C_CloseAllSessions), QE_FORWARD(C_Logout), QE_FORWARD(C_DestroyObject),
        QE_SLOT(C_GetMechanismList), QE_FORWARD(C_WaitForSlotEvent);
    QE_INIT(C_DecryptInit), QE_INIT(C_SignInit), QE_FINISH(C_Sign), QE_FINISH(C_Decrypt);
    QE_OWN(Initialize), QE_OWN(Finalize), QE_OWN(GetSlotList), QE_OWN(GetTokenInfo),
        QE_OWN(GetMechanismInfo), QE_OWN(OpenSession), QE_OWN(GetSessionInfo), QE_OWN(Login),
        QE_OWN(FindObjectsInit), QE_OWN(FindObjects), QE_OWN(GetAttributeValue),
        QE_OWN(SetAttributeValue), QE_OWN(CreateObject), QE_OWN(GenerateKeyPair), QE_OWN(SetPIN);
    g.list.C_GetFunctionList = &::C_GetFunctionList;
}

}  // namespace
}  // namespace qe::fault

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    using namespace qe::fault;
    const char* path = std::getenv("QE_FAULT_PKCS11_CONFIG");
    std::ifstream file(path != nullptr ? path : "");
    g.config = ParseConfig(file);
    g.pendingFakes.clear();
    return Call("C_GetFunctionList").Run([&] {
        if (On("load-once") && g_loads > 1) {
            return CKR_GENERAL_ERROR;
        }
        if (g.real == nullptr) {
            g.library = g.library != nullptr
                            ? g.library
                            : dlopen(g.config.target.c_str(), RTLD_NOW | RTLD_LOCAL);
            void* symbol = g.library != nullptr ? dlsym(g.library, "C_GetFunctionList") : nullptr;
            CK_C_GetFunctionList getList = nullptr;
            std::memcpy(&getList, &symbol, sizeof symbol);
            if (getList == nullptr || getList(&g.real) != CKR_OK || g.real == nullptr) {
                g.real = nullptr;
                return CKR_GENERAL_ERROR;
            }
        }
        if (list == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (g.hiddenInitialisation) {
            g.real->C_Finalize(nullptr);
            g.hiddenInitialisation = false;
        }
        BuildList();
        *list = &g.list;
        return CKR_OK;
    });
}
