// A PKCS#11 module for tests: forwards every call to a real module (SoftHSM2 by default) and, as
// the file named by QE_FAULT_PKCS11_CONFIG says, changes what the token shows or answers and
// records the calls made, in order, with their templates (and, when asked, how long each took).

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "fault_config.h"

#ifndef QE_SOFTHSM_LIBRARY
#define QE_SOFTHSM_LIBRARY "/usr/lib/softhsm/libsofthsm2.so"
#endif

namespace qe::fault {
namespace {

constexpr CK_ULONG kVendorFeatureType = 0x80005002;
constexpr CK_ATTRIBUTE_TYPE kProductNameAttribute = 0x80001101;
// Handles of the injected hardware-feature objects; SoftHSM2's own handles stay far below.
constexpr CK_OBJECT_HANDLE kFirstFakeObject = 0x7E000000;

struct State {
    void* library = nullptr;
    CK_FUNCTION_LIST* real = nullptr;
    CK_FUNCTION_LIST list{};
    Config config;
    std::map<CK_SESSION_HANDLE, std::vector<CK_OBJECT_HANDLE>> pendingFakes;

    ~State() {
        if (library != nullptr) {
            dlclose(library);
        }
    }
};

State g;

// ---- call record ---------------------------------------------------------------------------

std::string Hex(const void* data, CK_ULONG size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (CK_ULONG i = 0; data != nullptr && i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

std::string Num(unsigned long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%lx", value);
    return buffer;
}

// "[type=value,type=value]"; with `values` false only the types.
std::string TemplateText(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool values = true) {
    std::string text = "[";
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        if (i != 0) {
            text += ',';
        }
        text += Num(attributes[i].type);
        if (values) {
            text += '=';
            text += Hex(attributes[i].pValue, attributes[i].ulValueLen);
        }
    }
    return text + "]";
}

void WriteRecord(const std::string& line) {
    if (g.config.record.empty()) {
        return;
    }
    const int fd = open(g.config.record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
    close(fd);
}

// One call: its record line, and the rule that may change its result.
class Call {
public:
    explicit Call(const char* name) : name_(name), start_(std::chrono::steady_clock::now()) {
        for (CallRule& rule : g.config.calls) {
            if (rule.call == name_) {
                ++rule.seen;
                if (rule.seen > rule.skip && rule.seen - rule.skip <= rule.times) {
                    rule_ = &rule;
                }
            }
        }
    }
    Call& Add(const std::string& detail) {
        details_ += ' ';
        details_ += detail;
        return *this;
    }
    // True when the call must not reach the token; `rv` is then its answer.
    bool Blocked(CK_RV& rv) const {
        if (rule_ != nullptr && !rule_->forward) {
            rv = rule_->rv;
            return true;
        }
        return false;
    }
    CK_RV Done(CK_RV rv) {
        if (rule_ != nullptr) {
            rv = rule_->rv;
        }
        if (g.config.recordTime) {
            // Measured before the record is written, so the writing does not count.
            const auto spent = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - start_);
            Add("us=" + std::to_string(spent.count()));
        }
        WriteRecord(name_ + details_ + " -> " + Num(rv));
        return rv;
    }

private:
    std::string name_;
    std::string details_;
    std::chrono::steady_clock::time_point start_;
    const CallRule* rule_ = nullptr;
};

// ---- scopes --------------------------------------------------------------------------------

std::string TrimmedLabel(const CK_TOKEN_INFO& info) {
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    return label;
}

const TokenRules& RulesForSlot(CK_SLOT_ID slot) {
    if (g.config.byLabel.empty()) {
        return g.config.allTokens;
    }
    CK_TOKEN_INFO info{};
    if (g.real->C_GetTokenInfo(slot, &info) != CKR_OK) {
        return g.config.allTokens;
    }
    const auto it = g.config.byLabel.find(TrimmedLabel(info));
    return it != g.config.byLabel.end() ? it->second : g.config.allTokens;
}

const TokenRules& RulesForSession(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (g.real->C_GetSessionInfo(session, &info) != CKR_OK) {
        return g.config.allTokens;
    }
    return RulesForSlot(info.slotID);
}

bool Hidden(const TokenRules& rules, CK_MECHANISM_TYPE mechanism) {
    return rules.hiddenMechanisms.count(mechanism) != 0;
}

void Pad(unsigned char* field, std::size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

// ---- every call not changed below: recorded, the rules applied, forwarded -----------------

template <std::size_t N>
struct CallName {
    char text[N];
    constexpr CallName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <typename Fn>
struct Forwarder;

template <typename... Args>
struct Forwarder<CK_RV (*)(Args...)> {
    template <CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), CallName Name>
    static CK_RV Forward(Args... args) {
        Call call(Name.text);
        CK_RV rv = CKR_OK;
        if (!call.Blocked(rv)) {
            rv = (g.real->*Member)(args...);
        }
        return call.Done(rv);
    }
};

#define QE_FORWARD(field) \
    g.list.field =        \
        &Forwarder<decltype(g.list.field)>::template Forward<&CK_FUNCTION_LIST::field, #field>

// ---- calls the rules change ----------------------------------------------------------------

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID* slots, CK_ULONG* count) {
    Call call("C_GetSlotList");
    call.Add(std::string("present=") + (tokenPresent ? "1" : "0"));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv) || count == nullptr) {
        return call.Done(count == nullptr ? CKR_ARGUMENTS_BAD : rv);
    }
    CK_ULONG realCount = 0;
    rv = g.real->C_GetSlotList(tokenPresent, nullptr, &realCount);
    std::vector<CK_SLOT_ID> all(realCount);
    if (rv == CKR_OK && realCount != 0) {
        rv = g.real->C_GetSlotList(tokenPresent, all.data(), &realCount);
        all.resize(realCount);
    }
    if (rv != CKR_OK) {
        return call.Done(rv);
    }
    std::vector<CK_SLOT_ID> shown;
    for (const CK_SLOT_ID slot : all) {
        if (!tokenPresent || !RulesForSlot(slot).absent) {
            shown.push_back(slot);
        }
    }
    if (slots == nullptr) {
        *count = shown.size();
    } else if (*count < shown.size()) {
        *count = shown.size();
        rv = CKR_BUFFER_TOO_SMALL;
    } else {
        std::copy(shown.begin(), shown.end(), slots);
        *count = shown.size();
    }
    return call.Done(rv);
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
    Call call("C_GetSlotInfo");
    call.Add("slot=" + Num(slot));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    rv = g.real->C_GetSlotInfo(slot, info);
    if (rv == CKR_OK && RulesForSlot(slot).absent) {
        info->flags &= ~CKF_TOKEN_PRESENT;
    }
    return call.Done(rv);
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    Call call("C_GetTokenInfo");
    call.Add("slot=" + Num(slot));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSlot(slot);
    if (rules.absent) {
        return call.Done(CKR_TOKEN_NOT_PRESENT);
    }
    rv = g.real->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK) {
        info->flags = (info->flags | rules.flagsSet) & ~rules.flagsClear;
        if (rules.refuseReadWrite) {
            info->flags |= CKF_WRITE_PROTECTED;
        }
        if (rules.manufacturer) {
            Pad(info->manufacturerID, sizeof info->manufacturerID, *rules.manufacturer);
        }
        if (rules.model) {
            Pad(info->model, sizeof info->model, *rules.model);
        }
        if (rules.serial) {
            Pad(info->serialNumber, sizeof info->serialNumber, *rules.serial);
        }
    }
    return call.Done(rv);
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE* mechanisms, CK_ULONG* count) {
    Call call("C_GetMechanismList");
    call.Add("slot=" + Num(slot));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv) || count == nullptr) {
        return call.Done(count == nullptr ? CKR_ARGUMENTS_BAD : rv);
    }
    CK_ULONG realCount = 0;
    rv = g.real->C_GetMechanismList(slot, nullptr, &realCount);
    std::vector<CK_MECHANISM_TYPE> all(realCount);
    if (rv == CKR_OK && realCount != 0) {
        rv = g.real->C_GetMechanismList(slot, all.data(), &realCount);
        all.resize(realCount);
    }
    if (rv != CKR_OK) {
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSlot(slot);
    std::vector<CK_MECHANISM_TYPE> shown;
    for (const CK_MECHANISM_TYPE mechanism : all) {
        if (!Hidden(rules, mechanism)) {
            shown.push_back(mechanism);
        }
    }
    if (mechanisms == nullptr) {
        *count = shown.size();
    } else if (*count < shown.size()) {
        *count = shown.size();
        rv = CKR_BUFFER_TOO_SMALL;
    } else {
        std::copy(shown.begin(), shown.end(), mechanisms);
        *count = shown.size();
    }
    return call.Done(rv);
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE mechanism, CK_MECHANISM_INFO* info) {
    Call call("C_GetMechanismInfo");
    call.Add("slot=" + Num(slot)).Add("mech=" + Num(mechanism));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSlot(slot);
    if (Hidden(rules, mechanism)) {
        return call.Done(CKR_MECHANISM_INVALID);
    }
    rv = g.real->C_GetMechanismInfo(slot, mechanism, info);
    if (rv == CKR_OK && rules.rsaKeySizes && mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN) {
        info->ulMinKeySize = rules.rsaKeySizes->first;
        info->ulMaxKeySize = rules.rsaKeySizes->second;
    }
    return call.Done(rv);
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE* session) {
    Call call("C_OpenSession");
    call.Add("slot=" + Num(slot)).Add("flags=" + Num(flags));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSlot(slot);
    if (rules.absent) {
        return call.Done(CKR_TOKEN_NOT_PRESENT);
    }
    if (rules.refuseReadWrite && (flags & CKF_RW_SESSION) != 0) {
        return call.Done(CKR_TOKEN_WRITE_PROTECTED);
    }
    return call.Done(g.real->C_OpenSession(slot, flags, application, notify, session));
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO* info) {
    Call call("C_GetSessionInfo");
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    rv = g.real->C_GetSessionInfo(session, info);
    if (rv == CKR_OK) {
        const TokenRules& rules = RulesForSlot(info->slotID);
        if (rules.sessionState) {
            info->state = *rules.sessionState;
        }
        call.Add("state=" + Num(info->state));
    }
    return call.Done(rv);
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG pinLength) {
    Call call("C_Login");
    // The PIN itself is never written down, only its length.
    call.Add("user=" + Num(user)).Add("pinlen=" + std::to_string(pinLength));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    return call.Done(g.real->C_Login(session, user, pin, pinLength));
}

bool WantsVendorFeature(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    bool hwFeature = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        CK_ULONG value = 0;
        if (a.ulValueLen == sizeof value && a.pValue != nullptr) {
            std::memcpy(&value, a.pValue, sizeof value);
        }
        if (a.type == CKA_CLASS) {
            hwFeature = value == CKO_HW_FEATURE;
            if (!hwFeature) {
                return false;
            }
        } else if (a.type == CKA_HW_FEATURE_TYPE && value != kVendorFeatureType) {
            return false;
        }
    }
    return hwFeature;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count) {
    Call call("C_FindObjectsInit");
    call.Add(TemplateText(attributes, count));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    rv = g.real->C_FindObjectsInit(session, attributes, count);
    g.pendingFakes.erase(session);
    if (rv == CKR_OK && WantsVendorFeature(attributes, count)) {
        const TokenRules& rules = RulesForSession(session);
        std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
        for (std::size_t i = 0; i < rules.productNames.size(); ++i) {
            fakes.push_back(kFirstFakeObject + i);
        }
    }
    return call.Done(rv);
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG max,
                  CK_ULONG* count) {
    Call call("C_FindObjects");
    call.Add("max=" + std::to_string(max));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    std::vector<CK_OBJECT_HANDLE>& fakes = g.pendingFakes[session];
    CK_ULONG given = 0;
    while (given < max && !fakes.empty()) {
        objects[given++] = fakes.front();
        fakes.erase(fakes.begin());
    }
    CK_ULONG more = 0;
    rv = g.real->C_FindObjects(session, objects + given, max - given, &more);
    if (rv == CKR_OK) {
        *count = given + more;
        std::string handles;
        for (CK_ULONG i = 0; i < *count; ++i) {
            handles += (i == 0 ? "" : ",") + Num(objects[i]);
        }
        call.Add("found=" + std::to_string(*count)).Add("objects=" + handles);
    }
    return call.Done(rv);
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE session) {
    Call call("C_FindObjectsFinal");
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    g.pendingFakes.erase(session);
    return call.Done(g.real->C_FindObjectsFinal(session));
}

CK_RV FakeObjectAttributes(const std::string& productName, CK_ATTRIBUTE* attributes,
                           CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        std::string value;
        if (a.type == kProductNameAttribute) {
            value = productName;
        } else if (a.type == CKA_CLASS) {
            const CK_ULONG c = CKO_HW_FEATURE;
            value.assign(reinterpret_cast<const char*>(&c), sizeof c);
        } else if (a.type == CKA_HW_FEATURE_TYPE) {
            const CK_ULONG t = kVendorFeatureType;
            value.assign(reinterpret_cast<const char*>(&t), sizeof t);
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (a.pValue == nullptr) {
            a.ulValueLen = value.size();
        } else if (a.ulValueLen < value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(a.pValue, value.data(), value.size());
            a.ulValueLen = value.size();
        }
    }
    return rv;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    // Recorded after the call: the types asked for, with the values read when a buffer was given.
    Call call("C_GetAttributeValue");
    call.Add("object=" + Num(object));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        call.Add(TemplateText(attributes, count, false));
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSession(session);
    if (object >= kFirstFakeObject && object < kFirstFakeObject + rules.productNames.size()) {
        rv = FakeObjectAttributes(rules.productNames[object - kFirstFakeObject], attributes, count);
    } else {
        rv = g.real->C_GetAttributeValue(session, object, attributes, count);
    }
    const bool withValues = rv == CKR_OK && count > 0 && attributes[0].pValue != nullptr;
    call.Add(TemplateText(attributes, count, withValues));
    return call.Done(rv);
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE* attributes, CK_ULONG count) {
    Call call("C_SetAttributeValue");
    call.Add("object=" + Num(object)).Add(TemplateText(attributes, count));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    return call.Done(g.real->C_SetAttributeValue(session, object, attributes, count));
}

CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE* attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE* object) {
    Call call("C_CreateObject");
    call.Add(TemplateText(attributes, count));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    return call.Done(g.real->C_CreateObject(session, attributes, count, object));
}

// The Init calls of the operations: a hidden mechanism is refused as the token would.
template <CK_RV (*CK_FUNCTION_LIST::*Member)(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE),
          CallName Name>
CK_RV MechanismInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    Call call(Name.text);
    call.Add("mech=" + Num(mechanism != nullptr ? mechanism->mechanism : ~0UL))
        .Add("key=" + Num(key));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    if (mechanism != nullptr && Hidden(RulesForSession(session), mechanism->mechanism)) {
        return call.Done(CKR_MECHANISM_INVALID);
    }
    return call.Done((g.real->*Member)(session, mechanism, key));
}

#define QE_MECHANISM_INIT(field) g.list.field = &MechanismInit<&CK_FUNCTION_LIST::field, #field>

CK_RV GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_ATTRIBUTE* attributes,
                  CK_ULONG count, CK_OBJECT_HANDLE* key) {
    Call call("C_GenerateKey");
    call.Add("mech=" + Num(mechanism != nullptr ? mechanism->mechanism : ~0UL))
        .Add(TemplateText(attributes, count));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    if (mechanism != nullptr && Hidden(RulesForSession(session), mechanism->mechanism)) {
        return call.Done(CKR_MECHANISM_INVALID);
    }
    return call.Done(g.real->C_GenerateKey(session, mechanism, attributes, count, key));
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism,
                      CK_ATTRIBUTE* publicTemplate, CK_ULONG publicCount,
                      CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
    Call call("C_GenerateKeyPair");
    call.Add("mech=" + Num(mechanism != nullptr ? mechanism->mechanism : ~0UL))
        .Add(TemplateText(publicTemplate, publicCount))
        .Add(TemplateText(privateTemplate, privateCount));
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    const TokenRules& rules = RulesForSession(session);
    if (mechanism != nullptr && Hidden(rules, mechanism->mechanism)) {
        return call.Done(CKR_MECHANISM_INVALID);
    }
    if (rules.rsaKeySizes && mechanism != nullptr &&
        mechanism->mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN) {
        for (CK_ULONG i = 0; i < publicCount; ++i) {
            CK_ULONG bits = 0;
            if (publicTemplate[i].type == CKA_MODULUS_BITS &&
                publicTemplate[i].ulValueLen == sizeof bits) {
                std::memcpy(&bits, publicTemplate[i].pValue, sizeof bits);
                if (bits < rules.rsaKeySizes->first || bits > rules.rsaKeySizes->second) {
                    return call.Done(CKR_KEY_SIZE_RANGE);
                }
            }
        }
    }
    return call.Done(g.real->C_GenerateKeyPair(session, mechanism, publicTemplate, publicCount,
                                               privateTemplate, privateCount, publicKey,
                                               privateKey));
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature,
           CK_ULONG* signatureLength) {
    Call call("C_Sign");
    CK_RV rv = CKR_OK;
    if (!call.Blocked(rv)) {
        rv = g.real->C_Sign(session, data, length, signature, signatureLength);
        if (rv == CKR_OK && signature == nullptr && g.config.signLength) {
            *signatureLength = *g.config.signLength;
        }
    }
    return call.Done(rv);
}

std::string ReadConfigFile() {
    const char* path = std::getenv("QE_FAULT_PKCS11_CONFIG");
    if (path == nullptr) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BuildList() {
    g.list = *g.real;
    QE_FORWARD(C_Initialize);
    QE_FORWARD(C_Finalize);
    QE_FORWARD(C_GetInfo);
    g.list.C_GetFunctionList = &::C_GetFunctionList;
    g.list.C_GetSlotList = &GetSlotList;
    g.list.C_GetSlotInfo = &GetSlotInfo;
    g.list.C_GetTokenInfo = &GetTokenInfo;
    g.list.C_GetMechanismList = &GetMechanismList;
    g.list.C_GetMechanismInfo = &GetMechanismInfo;
    QE_FORWARD(C_InitToken);
    QE_FORWARD(C_InitPIN);
    QE_FORWARD(C_SetPIN);
    g.list.C_OpenSession = &OpenSession;
    QE_FORWARD(C_CloseSession);
    QE_FORWARD(C_CloseAllSessions);
    g.list.C_GetSessionInfo = &GetSessionInfo;
    QE_FORWARD(C_GetOperationState);
    QE_FORWARD(C_SetOperationState);
    g.list.C_Login = &Login;
    QE_FORWARD(C_Logout);
    g.list.C_CreateObject = &CreateObject;
    QE_FORWARD(C_CopyObject);
    QE_FORWARD(C_DestroyObject);
    QE_FORWARD(C_GetObjectSize);
    g.list.C_GetAttributeValue = &GetAttributeValue;
    g.list.C_SetAttributeValue = &SetAttributeValue;
    g.list.C_FindObjectsInit = &FindObjectsInit;
    g.list.C_FindObjects = &FindObjects;
    g.list.C_FindObjectsFinal = &FindObjectsFinal;
    QE_MECHANISM_INIT(C_EncryptInit);
    QE_FORWARD(C_Encrypt);
    QE_FORWARD(C_EncryptUpdate);
    QE_FORWARD(C_EncryptFinal);
    QE_MECHANISM_INIT(C_DecryptInit);
    QE_FORWARD(C_Decrypt);
    QE_FORWARD(C_DecryptUpdate);
    QE_FORWARD(C_DecryptFinal);
    QE_FORWARD(C_DigestInit);
    QE_FORWARD(C_Digest);
    QE_FORWARD(C_DigestUpdate);
    QE_FORWARD(C_DigestKey);
    QE_FORWARD(C_DigestFinal);
    QE_MECHANISM_INIT(C_SignInit);
    g.list.C_Sign = &Sign;
    QE_FORWARD(C_SignUpdate);
    QE_FORWARD(C_SignFinal);
    QE_MECHANISM_INIT(C_SignRecoverInit);
    QE_FORWARD(C_SignRecover);
    QE_MECHANISM_INIT(C_VerifyInit);
    QE_FORWARD(C_Verify);
    QE_FORWARD(C_VerifyUpdate);
    QE_FORWARD(C_VerifyFinal);
    QE_MECHANISM_INIT(C_VerifyRecoverInit);
    QE_FORWARD(C_VerifyRecover);
    QE_FORWARD(C_DigestEncryptUpdate);
    QE_FORWARD(C_DecryptDigestUpdate);
    QE_FORWARD(C_SignEncryptUpdate);
    QE_FORWARD(C_DecryptVerifyUpdate);
    g.list.C_GenerateKey = &GenerateKey;
    g.list.C_GenerateKeyPair = &GenerateKeyPair;
    QE_FORWARD(C_WrapKey);
    QE_FORWARD(C_UnwrapKey);
    QE_FORWARD(C_DeriveKey);
    QE_FORWARD(C_SeedRandom);
    QE_FORWARD(C_GenerateRandom);
    QE_FORWARD(C_GetFunctionStatus);
    QE_FORWARD(C_CancelFunction);
    QE_FORWARD(C_WaitForSlotEvent);
}

}  // namespace
}  // namespace qe::fault

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    using namespace qe::fault;
    // Read afresh on every load: a test changes the file between two operations.
    g.config = ParseConfig(ReadConfigFile());
    g.pendingFakes.clear();
    Call call("C_GetFunctionList");
    CK_RV rv = CKR_OK;
    if (call.Blocked(rv)) {
        return call.Done(rv);
    }
    if (list == nullptr) {
        return call.Done(CKR_ARGUMENTS_BAD);
    }
    if (g.library == nullptr) {
        const std::string library =
            g.config.library.empty() ? QE_SOFTHSM_LIBRARY : g.config.library;
        g.library = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (g.library == nullptr) {
            return call.Done(CKR_GENERAL_ERROR);
        }
        void* symbol = dlsym(g.library, "C_GetFunctionList");
        CK_C_GetFunctionList getList = nullptr;
        std::memcpy(&getList, &symbol, sizeof symbol);
        if (getList == nullptr || getList(&g.real) != CKR_OK || g.real == nullptr) {
            dlclose(g.library);
            g.library = nullptr;
            return call.Done(CKR_GENERAL_ERROR);
        }
    }
    BuildList();
    *list = &g.list;
    return call.Done(CKR_OK);
}
