// The fault module's token rules: slots, token and mechanism information, sessions and logins.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <tuple>

#include "fault_module.h"

namespace qe::fault {

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

bool HiddenCertificate(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    CK_SESSION_INFO info{};
    CK_OBJECT_CLASS type = 0;
    CK_ATTRIBUTE attribute{CKA_CLASS, &type, sizeof type};
    return On("private-certificates") && g.real->C_GetSessionInfo(session, &info) == CKR_OK &&
           info.state != CKS_RO_USER_FUNCTIONS && info.state != CKS_RW_USER_FUNCTIONS &&
           g.real->C_GetAttributeValue(session, object, &attribute, 1) == CKR_OK &&
           type == CKO_CERTIFICATE;
}

// renumber-slots: slots show as their id plus 2^32 times the slot lists so far; an id of an older
// list becomes one no slot has.
CK_SLOT_ID RealSlot(CK_SLOT_ID slot) {
    return !On("renumber-slots") ? slot : slot >> 32 == g.slotLists ? slot & 0xFFFFFFFF : ~0UL;
}

namespace {

CK_SLOT_ID ShownSlot(CK_SLOT_ID slot) {
    return On("renumber-slots") ? slot + (g.slotLists << 32) : slot;
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
}  // namespace

void ListTokenCalls(CK_FUNCTION_LIST& list) {
    list.C_Initialize = &Initialize, list.C_Finalize = &Finalize, list.C_Login = &Login;
    list.C_GetSlotList = &GetSlotList, list.C_GetTokenInfo = &GetTokenInfo;
    list.C_GetMechanismInfo = &GetMechanismInfo, list.C_OpenSession = &OpenSession;
    list.C_GetSessionInfo = &GetSessionInfo, list.C_SetPIN = &SetPIN;
}

}  // namespace qe::fault
