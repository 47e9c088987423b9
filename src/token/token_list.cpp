#include <algorithm>
#include <cstring>

#include "token/module_list.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

// Libraries pad descriptions with blanks or with NULs: the padding does not count.
bool DescriptionListed(const std::vector<zel_token>& tokens, const CK_SLOT_INFO& slot) {
    const std::string description = TrimmedField(slot.slotDescription, sizeof slot.slotDescription);
    return std::any_of(tokens.begin(), tokens.end(), [&description](const zel_token& token) {
        return TrimmedField(token.slotDescription, sizeof token.slotDescription) == description;
    });
}

// A token that cannot open a read-write session cannot take keys or certificates: not listed.
bool AcceptsReadWriteSession(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot) {
    Pkcs11Session session;
    if (session.Open(fn, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION) != CKR_OK) {
        return false;
    }
    return session.Close() == CKR_OK;
}

void ListModuleTokens(CPKI& pki, const std::string& name, std::vector<zel_token>& tokens) {
    Pkcs11Module module;
    if (pki.LoadModule(name, module) != CKR_OK) {
        return;
    }
    const CK_RV rv = module.Initialize();
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        module.AdoptInitialization();
    } else if (rv != CKR_OK) {
        return;
    }
    std::vector<CK_SLOT_ID> slots;
    if (GetPresentSlots(module.fn(), slots) != CKR_OK) {
        return;
    }
    CK_FUNCTION_LIST* fn = module.fn();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        CK_SLOT_INFO slotInfo{};
        if (Checked(fn->C_GetSlotInfo(slots[i], &slotInfo)) != CKR_OK ||
            DescriptionListed(tokens, slotInfo)) {
            continue;
        }
        // A token that was never initialised holds nothing of a customer's: libraries keep such
        // a spare slot for making new tokens.
        CK_TOKEN_INFO tokenInfo{};
        if (Checked(fn->C_GetTokenInfo(slots[i], &tokenInfo)) != CKR_OK ||
            (tokenInfo.flags & CKF_TOKEN_INITIALIZED) == 0 ||
            !AcceptsReadWriteSession(fn, slots[i])) {
            continue;
        }
        tokens.push_back(
            MakeTokenRecord(slotInfo, tokenInfo, slots[i], static_cast<std::uint32_t>(i), name));
    }
}

}  // namespace

CK_RV GetPresentSlots(CK_FUNCTION_LIST* fn, std::vector<CK_SLOT_ID>& slots) {
    slots.clear();
    CK_ULONG count = 0;
    CK_RV rv = Checked(fn->C_GetSlotList(CK_TRUE, nullptr, &count));
    if (rv != CKR_OK || count == 0) {
        return rv;
    }
    // A library that claims an absurd number of slots is not trusted with an allocation.
    constexpr CK_ULONG kMaxSlots = 4096;
    if (count > kMaxSlots) {
        return Checked(CKR_GENERAL_ERROR);
    }
    slots.resize(count);
    rv = Checked(fn->C_GetSlotList(CK_TRUE, slots.data(), &count));
    if (rv != CKR_OK) {
        slots.clear();
        return rv;
    }
    slots.resize(std::min<CK_ULONG>(count, slots.size()));
    return CKR_OK;
}

CK_RV CPKI::LoadModule(const std::string& name, Pkcs11Module& module) {
    return module.Load(name, step_);
}

void CPKI::ListTokens(const std::vector<std::string>& modules, std::vector<zel_token>& tokens) {
    for (const std::string& name : modules) {
        ListModuleTokens(*this, name, tokens);
    }
}

CK_RV CPKI::SelectToken(zel_token& token) {
    std::vector<zel_token> tokens;
    ListTokens(CReg().ModuleList(), tokens);
    if (tokens.empty()) {
        return TOKEN_NONE;
    }
    if (tokens.size() > 1) {
        // One card that shows a slot per key (a qualified key with a PIN of its own): which slot
        // holds what is not known, and several tokens they are not.
        const bool oneCard = std::all_of(tokens.begin(), tokens.end(), [&](const zel_token& t) {
            return t.modulePath == tokens[0].modulePath &&
                   std::memcmp(t.serialNumber, tokens[0].serialNumber, sizeof t.serialNumber) == 0;
        });
        return oneCard ? TOKEN_SLOTS : TOKEN_MULTIPLE;
    }
    token = tokens.front();
    return CKR_OK;
}

CK_RV LoadWithPresentSlots(TokenStep& step, const std::string& modulePath, Pkcs11Module& module,
                           std::vector<CK_SLOT_ID>& slots) {
    CK_RV rv = module.Load(modulePath, step);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = module.Initialize();
    // Initialised by someone else in the process: used as it is, and left to them to finalise.
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return rv;
    }
    return GetPresentSlots(module.fn(), slots);
}

CK_RV FindListedSlot(CK_FUNCTION_LIST* fn, const std::vector<CK_SLOT_ID>& slots,
                     const zel_token& token, CK_SLOT_ID& slot) {
    // The listed slot first; some libraries number their slots afresh between calls, so the
    // token is then looked for in every present slot.
    std::vector<CK_SLOT_ID> order = slots;
    if (const auto listed = std::find(order.begin(), order.end(), token.slotId);
        listed != order.end()) {
        std::rotate(order.begin(), listed, listed + 1);
    }
    CK_RV failure = CKR_TOKEN_NOT_PRESENT;
    for (const CK_SLOT_ID candidate : order) {
        CK_TOKEN_INFO info{};
        const CK_RV rv = fn->C_GetTokenInfo(candidate, &info);
        const bool read = rv == CKR_OK || rv == kVendorTokenInfoOk;
        if (read && IsListedToken(info, token)) {
            slot = candidate;
            return CKR_OK;
        }
        if (!read && candidate == token.slotId) {
            failure = rv;  // the listed slot's own failure tells most
        }
    }
    return Checked(failure);
}

CK_RV CPKI::OpenListedToken(const zel_token& token, OpenedToken& opened) {
    if (const CK_RV rv = LoadWithPresentSlots(step_, token.modulePath, opened.module, opened.slots);
        rv != CKR_OK) {
        return rv;
    }
    return FindListedSlot(opened.fn(), opened.slots, token, opened.slotId);
}

}  // namespace qe
