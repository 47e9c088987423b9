// What the parts of the fault-injecting PKCS#11 module share: its settings, its state and one
// call's rule and record. The settings it reads are listed in fault_config.cpp.
#pragma once

#include <chrono>
#include <climits>
#include <fstream>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef QE_SOFTHSM_LIBRARY
#define QE_SOFTHSM_LIBRARY "/usr/lib/softhsm/libsofthsm2.so"
#endif

namespace qe::fault {

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
    unsigned long skip = 0, times = ULONG_MAX, seen = 0;
    char act = 0;  // 'e'xit, 'r'eset-login, 'f'inalize-before
};

constexpr int kExitStatus = 77;

struct Config {
    std::string target = QE_SOFTHSM_LIBRARY;  // the library calls go to
    std::string record, seenFile;
    std::set<std::string> switches;  // the settings without a value
    std::map<CK_ATTRIBUTE_TYPE, CK_RV> refusedAttributes;
    std::optional<CK_ULONG> slotCount, sessionLimit;
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
    std::unique_ptr<void, int (*)(void*)> library{nullptr, dlclose};
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
};

extern State g;
// The loads of this file in the process, this load included (fault_config.cpp).
extern unsigned long g_loads;

bool On(const char* name);
// pin-to-be-changed: the token still wants its PIN changed.
bool PinChangeDue();
unsigned long Number(const std::string& text);
Config ParseConfig(std::istream& lines);
void SaveSeen();

std::string Num(unsigned long value);
// "[type=hex,type=hex]"; with `values` false only the types.
std::string TemplateText(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool values = true);
std::string MechanismText(const CK_MECHANISM* mechanism);

// One call: the rule that may change its result, and its record line.
class Call {
public:
    explicit Call(const std::string& name, std::string details = {});
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

// The token rules (fault_token.cpp).
const TokenRules& ForSlot(CK_SLOT_ID slot);
const TokenRules& ForSession(CK_SESSION_HANDLE session);
bool Hidden(const TokenRules& rules, const CK_MECHANISM* mechanism);
CK_SLOT_ID RealSlot(CK_SLOT_ID slot);
bool HiddenCertificate(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);

// Point the list's entries at the calls this module answers itself.
void ListTokenCalls(CK_FUNCTION_LIST& list);   // fault_token.cpp
void ListObjectCalls(CK_FUNCTION_LIST& list);  // fault_objects.cpp

}  // namespace qe::fault
