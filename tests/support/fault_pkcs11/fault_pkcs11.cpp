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
//   sign-length N                C_Sign asked for the length answers N
//   slot-count N                 C_GetSlotList asked for the count answers N
//   refuse-attribute TYPE        C_GenerateKeyPair with TYPE in a template answers
//                                CKR_ATTRIBUTE_TYPE_INVALID (a token that does not take it)
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
//   [token LABEL]                the token settings below apply to that token only, on top of
//                                those given for all tokens before
// Token settings: absent (the slot's calls see no token) | refuse-rw-session (write-protected) |
//   session-state N | flags-set N | flags-clear N (token information flags) |
//   product-name TEXT (one vendor hardware-feature object each) |
//   rsa-key-sizes MIN MAX (what C_GetMechanismInfo reports for key pair generation) |
//   free-memory PUBLIC PRIVATE (the free memory the token information reports) |
//   mechanism-flags M N (the flags C_GetMechanismInfo reports) |
//   hide-mechanism M... (C_GetMechanismInfo and the Init calls of operations refuse them)

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
    std::optional<CK_STATE> sessionState;
    CK_FLAGS flagsSet = 0;
    CK_FLAGS flagsClear = 0;
    std::vector<std::string> productNames;
    std::optional<std::pair<CK_ULONG, CK_ULONG>> rsaKeySizes;
    std::optional<std::pair<CK_ULONG, CK_ULONG>> freeMemory;
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
    bool exit = false;
};

constexpr int kExitStatus = 77;

struct Config {
    std::string target = QE_SOFTHSM_LIBRARY;  // the library calls go to
    std::string record;
    std::string seenFile;
    bool recordTime = false;
    bool loadOnce = false;
    bool fixedKeySlot = false;
    std::set<CK_ATTRIBUTE_TYPE> refusedAttributes;
    std::optional<CK_ULONG> signLength;
    std::optional<CK_ULONG> slotCount;
    std::vector<CallRule> calls;
    std::set<std::string> crash;
    std::set<std::string> hang;
    std::set<std::string> noise;
    std::map<std::string, std::string> waitFor;
    std::optional<std::string> pinpadPin;
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
    ~State() {
        if (library != nullptr) {
            dlclose(library);
        }
    }
} g;

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
        } else if (key == "exit") {
            CallRule& rule = c.calls.emplace_back(CallRule{a});
            rule.times = 1;
            rule.exit = true;
            std::istringstream options(rest);
            for (options >> a; options >> b;) {
                rule.forward = rule.forward || b == "after";
                if (b == "skip" && options >> b) {
                    rule.skip = Number(b);
                }
            }
        } else if (key == "record-time") {
            c.recordTime = true;
        } else if (key == "load-once" || key == "fixed-key-slot") {
            (key == "load-once" ? c.loadOnce : c.fixedKeySlot) = true;
        } else if (key == "refuse-attribute") {
            c.refusedAttributes.insert(Number(a));
        } else if (key == "sign-length" || key == "slot-count") {
            (key == "sign-length" ? c.signLength : c.slotCount) = Number(a);
        } else if (key == "fail" || key == "fail-after") {
            CallRule& rule = c.calls.emplace_back(CallRule{a, Number(b), key == "fail-after"});
            for (std::string value; words >> a >> value;) {
                (a == "skip" ? rule.skip : rule.times) = Number(value);
            }
        } else if (key == "crash" || key == "hang" || key == "noise") {
            (key == "crash" ? c.crash : key == "hang" ? c.hang : c.noise).insert(a);
        } else if (key == "wait-for") {
            c.waitFor[a] = b;
        } else if (key == "pinpad-login") {
            c.pinpadPin = a;
        } else if (key == "[token") {
            rules = &(c.byLabel[rest.substr(0, rest.find(']'))] = c.all);
        } else if (key == "absent" || key == "refuse-rw-session") {
            (key == "absent" ? rules->absent : rules->refuseReadWrite) = true;
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
        }
    }
    if (!c.seenFile.empty()) {
        std::ifstream seen(c.seenFile);
        for (CallRule& rule : c.calls) {
            seen >> rule.seen;
        }
    }
    return c;
}

void SaveSeen() {
    std::ofstream seen(g.config.seenFile);
    for (const CallRule& rule : g.config.calls) {
        seen << rule.seen << "\n";
    }
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
        if (g.config.noise.count(name) != 0) {
            std::fputs("a library talking", stdout);
            std::fflush(stdout);
        }
        bool counted = false;
        for (CallRule& rule : g.config.calls) {
            counted = counted || rule.call == name;
            if (rule.call == name && ++rule.seen > rule.skip &&
                rule.seen - rule.skip <= rule.times) {
                (rule.exit ? exit_ : rule_) = &rule;
            }
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
        rv = rule_ != nullptr ? rule_->rv : rv;
        if (g.config.recordTime) {
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

CK_RV Initialize(CK_VOID_PTR arguments) {
    bool initialised = false;
    const CK_RV rv = Call("C_Initialize").Run([&] {
        const CK_RV real = g.real->C_Initialize(arguments);
        initialised = real == CKR_OK;
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
            std::copy(shown.begin(), shown.end(), slots);
        }
        *count = slots == nullptr && g.config.slotCount ? *g.config.slotCount : shown.size();
        return rv;
    });
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    return Call("C_GetTokenInfo", " slot=" + Num(slot)).Run([&] {
        const TokenRules& rules = ForSlot(slot);
        const CK_RV rv = rules.absent ? CKR_TOKEN_NOT_PRESENT : g.real->C_GetTokenInfo(slot, info);
        if (rv == CKR_OK) {
            info->flags |= rules.flagsSet | (rules.refuseReadWrite ? CKF_WRITE_PROTECTED : 0);
            info->flags &= ~rules.flagsClear;
            if (rules.freeMemory) {
                info->ulFreePublicMemory = rules.freeMemory->first;
                info->ulFreePrivateMemory = rules.freeMemory->second;
            }
        }
        return rv;
    });
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    return Call("C_GetMechanismInfo", " slot=" + Num(slot) + " mech=" + Num(type)).Run([&] {
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
        const TokenRules& rules = ForSlot(slot);
        if (rules.absent) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (rules.refuseReadWrite && (flags & CKF_RW_SESSION) != 0) {
            return CKR_TOKEN_WRITE_PROTECTED;
        }
        return g.real->C_OpenSession(slot, flags, application, notify, session);
    });
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO* info) {
    return Call("C_GetSessionInfo").Run([&] {
        const CK_RV rv = g.real->C_GetSessionInfo(session, info);
        if (rv == CKR_OK) {
            info->state = ForSlot(info->slotID).sessionState.value_or(info->state);
        }
        return rv;
    });
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
    // The PIN itself is never written down, only its length.
    return Call("C_Login", " user=" + Num(user) + " pinlen=" + std::to_string(length)).Run([&] {
        if (!g.config.pinpadPin) {
            return g.real->C_Login(session, user, pin, length);
        }
        if (pin != nullptr || length != 0) {
            return CKR_ARGUMENTS_BAD;
        }
        std::string typed = *g.config.pinpadPin;
        return g.real->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(typed.data()),
                               typed.size());
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
        const CK_RV rv = g.real->C_FindObjectsInit(session, attributes, count);
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
        const CK_RV rv = g.real->C_FindObjects(session, objects + given, max - given, count);
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
        if (object < kFirstFakeObject || object - kFirstFakeObject >= names.size()) {
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

CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE* object) {
    return Call("C_CreateObject", " " + TemplateText(attributes, count)).Run([&] {
        return g.real->C_CreateObject(session, attributes, count, object);
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
        return Hidden(ForSession(session), mechanism) ? CKR_MECHANISM_INVALID
                                                      : (g.real->*Member)(session, mechanism, key);
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

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                      CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                      CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
    return Call("C_GenerateKeyPair", MechanismText(mechanism) + " " +
                                         TemplateText(publicTemplate, publicCount) + " " +
                                         TemplateText(privateTemplate, privateCount))
        .Run([&] {
            CK_ATTRIBUTE slot{};
            if (g.config.fixedKeySlot) {
                ClearFixedSlot(session, slot);
            }
            std::vector<CK_ATTRIBUTE> templates[2];
            for (const auto& [attributes, count] :
                 {std::pair{publicTemplate, publicCount}, {privateTemplate, privateCount}}) {
                for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
                    if (g.config.refusedAttributes.count(attributes[i].type) != 0) {
                        return CKR_ATTRIBUTE_TYPE_INVALID;
                    }
                    const bool id = attributes[i].type == CKA_ID && g.config.fixedKeySlot;
                    templates[attributes == privateTemplate].push_back(id ? slot : attributes[i]);
                }
            }
            return g.real->C_GenerateKeyPair(session, mechanism, templates[0].data(), publicCount,
                                             templates[1].data(), privateCount, publicKey,
                                             privateKey);
        });
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
           CK_ULONG* signatureLength) {
    return Call("C_Sign").Run([&] {
        const CK_RV rv = g.real->C_Sign(session, data, length, signature, signatureLength);
        if (rv == CKR_OK && signature == nullptr && g.config.signLength) {
            *signatureLength = *g.config.signLength;
        }
        return rv;
    });
}

// ---- the other calls the program makes: recorded, the rules applied, forwarded ---------------

template <typename Fn>
struct Forwarder;

template <typename... Args>
struct Forwarder<CK_RV (*)(Args...)> {
    template <CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), CallName Name>
    static CK_RV Forward(Args... args) {
        return Call(Name.text).Run([&] { return (g.real->*Member)(args...); });
    }
};

#define QE_FORWARD(f) \
    g.list.f = &Forwarder<decltype(g.list.f)>::template Forward<&CK_FUNCTION_LIST::f, #f>
#define QE_INIT(f) g.list.f = &MechanismInit<&CK_FUNCTION_LIST::f, #f>
#define QE_OWN(f) g.list.C_##f = &f

void BuildList() {
    g.list = *g.real;
    QE_FORWARD(C_GetInfo), QE_FORWARD(C_GetSlotInfo), QE_FORWARD(C_FindObjectsFinal),
        QE_FORWARD(C_InitToken), QE_FORWARD(C_InitPIN), QE_FORWARD(C_CloseSession),
        QE_FORWARD(C_CloseAllSessions), QE_FORWARD(C_Logout), QE_FORWARD(C_DestroyObject),
        QE_FORWARD(C_Decrypt);
    QE_INIT(C_DecryptInit), QE_INIT(C_SignInit);
    QE_OWN(Initialize), QE_OWN(Finalize), QE_OWN(GetSlotList), QE_OWN(GetTokenInfo),
        QE_OWN(GetMechanismInfo), QE_OWN(OpenSession), QE_OWN(GetSessionInfo), QE_OWN(Login),
        QE_OWN(FindObjectsInit), QE_OWN(FindObjects), QE_OWN(GetAttributeValue),
        QE_OWN(SetAttributeValue), QE_OWN(CreateObject), QE_OWN(GenerateKeyPair), QE_OWN(Sign);
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
        if (g.config.loadOnce && g_loads > 1) {
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
