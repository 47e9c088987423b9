#include "doctor/token_survey.h"

#include <algorithm>

#include "log/last_error.h"
#include "token/open_token.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_module.h"
#include "token/pki.h"
#include "token/token_cycle.h"
#include "token/token_hash.h"

namespace qe {
namespace {

// No real certificate, modulus, label or identifier comes near these sizes; a larger value is
// left unread rather than held in memory.
constexpr CK_ULONG kMaxCertificateSize = 64 << 10;
constexpr CK_ULONG kMaxOtherSize = 4 << 10;

// The attribute when the token offers it within `limit` bytes; otherwise empty.
Bytes ReadBounded(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                  CK_ATTRIBUTE_TYPE type, CK_ULONG limit) {
    CK_ATTRIBUTE length{type, nullptr, 0};
    Bytes value;
    if (Checked(fn->C_GetAttributeValue(session, object, &length, 1)) == CKR_OK &&
        length.ulValueLen <= limit) {
        ReadAttribute(fn, session, object, type, value);
    }
    return value.size() <= limit ? value : Bytes();
}

// The objects of one class, at most kSurveyMaxObjects; attributes a token refuses stay empty.
CK_RV ReadObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                  TokenSurvey& survey) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, objectClass);
    if (objectClass == CKO_CERTIFICATE) {
        pattern.Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    } else {
        pattern.Ulong(CKA_KEY_TYPE, CKK_RSA);
    }
    std::vector<CK_OBJECT_HANDLE> handles;
    ObjectSearch search;
    CK_RV rv = search.Init(fn, session, pattern);
    while (rv == CKR_OK) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        rv = search.Next(object, found);
        if (rv != CKR_OK || !found) {
            break;
        }
        if (handles.size() == kSurveyMaxObjects) {
            survey.objectsCut = true;
            break;
        }
        handles.push_back(object);
    }
    search.Final();
    for (const CK_OBJECT_HANDLE object : handles) {
        TokenObject item;
        item.objectClass = objectClass;
        item.label = ToString(ReadBounded(fn, session, object, CKA_LABEL, kMaxOtherSize));
        item.id = ReadBounded(fn, session, object, CKA_ID, kMaxOtherSize);
        if (objectClass == CKO_CERTIFICATE) {
            item.value = ReadBounded(fn, session, object, CKA_VALUE, kMaxCertificateSize);
        } else {
            item.modulus = ReadBounded(fn, session, object, CKA_MODULUS, kMaxOtherSize);
            const auto first = std::find_if(item.modulus.begin(), item.modulus.end(),
                                            [](std::uint8_t b) { return b != 0; });
            item.modulus.erase(item.modulus.begin(), first);
        }
        survey.objects.push_back(std::move(item));
    }
    return rv;
}

CK_RV ReadMechanismsAndObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID slot,
                               TokenSurvey& survey) {
    for (const CK_MECHANISM_TYPE type : WizardMechanisms()) {
        MechanismCheck check;
        check.type = type;
        check.rv = Checked(fn->C_GetMechanismInfo(slot, type, &check.info));
        survey.mechanisms.push_back(check);
    }
    for (const CK_OBJECT_CLASS objectClass : {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        if (const CK_RV rv = ReadObjects(fn, session, objectClass, survey); rv != CKR_OK) {
            return rv;
        }
    }
    return CKR_OK;
}

void SurveyToken(TokenSurvey& survey) {
    NoStep outside;  // every look at the token is a cycle of its own, as it is for a listing
    const zel_token& record = survey.record;
    std::wstring headerLine;
    if (std::string hash; GetTokenHash(record, headerLine, hash) == 0) {
        survey.hash = hash;
    }
    survey.limitsRv = ReadRsaKeyLimits(outside, record, survey.limits);
    survey.productName = CPKI(outside).ReadProductName(record);
    survey.objectsRv = RunOnToken(outside, record, CKF_SERIAL_SESSION,
                                  [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE s, CK_SLOT_ID slot) {
                                      return ReadMechanismsAndObjects(fn, s, slot, survey);
                                  });
    survey.readinessRv = CheckTokenReadiness(outside, record, survey.shortfalls);
}

}  // namespace

const std::vector<CK_MECHANISM_TYPE>& WizardMechanisms() {
    static const std::vector<CK_MECHANISM_TYPE> mechanisms = {
        CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS, CKM_RSA_X_509, CKM_SHA256_RSA_PKCS};
    return mechanisms;
}

ModuleSurvey SurveyModule(const std::string& name) {
    ModuleSurvey survey;
    survey.name = name;
    {
        // This cycle ends before the token cycles load the library again.
        NoStep outside;
        Pkcs11Module module;
        survey.loadRv = module.Load(name, outside);
        if (survey.loadRv != CKR_OK) {
            survey.loadError = GetLastSystemError().text;
            return survey;
        }
        survey.initRv = module.Initialize();
        if (survey.initRv != CKR_OK) {
            return survey;
        }
        CK_FUNCTION_LIST* fn = module.fn();
        survey.infoRv = Checked(fn->C_GetInfo(&survey.info));
        std::vector<CK_SLOT_ID> slots;
        survey.slotsRv = GetPresentSlots(fn, slots);
        survey.presentSlots = slots.size();
        for (std::size_t i = 0; i < std::min(slots.size(), kSurveyMaxSlots); ++i) {
            SlotSurvey slot;
            slot.id = slots[i];
            slot.slotInfoRv = Checked(fn->C_GetSlotInfo(slot.id, &slot.slotInfo));
            slot.tokenInfoRv = Checked(fn->C_GetTokenInfo(slot.id, &slot.tokenInfo));
            if (slot.tokenInfoRv == CKR_OK && (slot.tokenInfo.flags & CKF_TOKEN_INITIALIZED) != 0) {
                slot.token.emplace();
                slot.token->record = MakeTokenRecord(slot.slotInfo, slot.tokenInfo, slot.id,
                                                     static_cast<std::uint32_t>(i), name);
                slot.token->flags = slot.tokenInfo.flags;
            }
            survey.slots.push_back(std::move(slot));
        }
    }
    for (SlotSurvey& slot : survey.slots) {
        if (slot.token) {
            SurveyToken(*slot.token);
        }
    }
    return survey;
}

}  // namespace qe
