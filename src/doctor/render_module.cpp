#include <string>

#include "doctor/report_sections.h"
#include "token/pkcs11_module.h"

namespace qe {
namespace {

struct MechanismNeed {
    CK_MECHANISM_TYPE type;
    const char* name;
    std::vector<std::pair<CK_FLAGS, const char*>> uses;
};

const std::vector<MechanismNeed>& MechanismNeeds() {
    static const std::vector<MechanismNeed> needs = {
        {CKM_RSA_PKCS_KEY_PAIR_GEN,
         "CKM_RSA_PKCS_KEY_PAIR_GEN",
         {{CKF_GENERATE_KEY_PAIR, "generate"}}},
        {CKM_RSA_PKCS, "CKM_RSA_PKCS", {{CKF_SIGN, "sign"}, {CKF_DECRYPT, "decrypt"}}},
        {CKM_RSA_X_509, "CKM_RSA_X_509", {{CKF_SIGN, "sign"}}},
        {CKM_SHA256_RSA_PKCS, "CKM_SHA256_RSA_PKCS", {{CKF_SIGN, "sign"}}},
    };
    return needs;
}

std::string MechanismText(const MechanismCheck& check, const MechanismNeed& need) {
    if (check.rv == CKR_MECHANISM_INVALID) {
        return "not offered";
    }
    if (check.rv != CKR_OK) {
        return "not readable: " + ResultText(check.rv);
    }
    std::vector<std::string> uses;
    for (const auto& [flag, word] : need.uses) {
        uses.push_back(std::string(word) + ((check.info.flags & flag) != 0 ? " yes" : " no"));
    }
    return Join(uses);
}

void RenderMechanisms(const TokenSurvey& token, ReportWriter& out) {
    if (token.limitsRv != CKR_OK) {
        out.Field(2, "RSA key generation", "not readable: " + ResultText(token.limitsRv));
    } else if (token.limits.maxBits == 0) {
        out.Field(2, "RSA key generation", "not offered");
    } else {
        out.Field(2, "RSA key generation",
                  std::to_string(token.limits.minBits) + " to " +
                      std::to_string(token.limits.maxBits) + " bits");
    }
    if (token.limitsRv == CKR_OK) {
        out.Field(2, "key generation and signing on the token",
                  token.limits.KeysStayOnToken() ? "yes" : "no: the wizard cannot renew with it");
    }
    if (token.mechanisms.empty()) {
        return;
    }
    out.Line(2, "mechanisms the wizard uses:");
    for (const MechanismNeed& need : MechanismNeeds()) {
        for (const MechanismCheck& check : token.mechanisms) {
            if (check.type == need.type) {
                out.Field(3, need.name, MechanismText(check, need));
            }
        }
    }
}

// The wizard's own verdict before a renewal, in its words.
std::string ReadinessText(const TokenSurvey& token) {
    if (token.readinessRv != CKR_OK) {
        return "could not run: " + ResultText(token.readinessRv);
    }
    std::vector<std::string> shortfalls;
    for (const TokenShortfall shortfall : token.shortfalls) {
        shortfalls.emplace_back(ShortfallText(shortfall));
    }
    return shortfalls.empty() ? "ready" : "not ready: " + Join(shortfalls);
}

void RenderToken(const SlotSurvey& slot, const std::vector<std::string>& authorityIssuers,
                 ReportWriter& out) {
    const CK_TOKEN_INFO& info = slot.tokenInfo;
    const TokenSurvey& token = *slot.token;
    out.Field(2, "label", FieldText(info.label, sizeof info.label));
    out.Field(2, "manufacturer", FieldText(info.manufacturerID, sizeof info.manufacturerID));
    out.Field(2, "model", FieldText(info.model, sizeof info.model));
    out.Field(2, "serial", FieldText(info.serialNumber, sizeof info.serialNumber));
    out.Field(2, "product name", Printable(token.productName));
    out.Field(2, "token hash", token.hash.empty() ? "not computed" : token.hash);
    out.Field(2, "flags", Hex32(info.flags) + ": " + TokenFlagWords(info.flags));
    out.Field(2, "PIN flags", PinFlagWords(info.flags));
    out.Field(2, "PIN length",
              std::to_string(info.ulMinPinLen) + " to " + std::to_string(info.ulMaxPinLen));
    out.Field(2, "public memory", MemoryText(info.ulFreePublicMemory, info.ulTotalPublicMemory));
    out.Field(2, "private memory", MemoryText(info.ulFreePrivateMemory, info.ulTotalPrivateMemory));
    out.Field(2, "hardware, firmware",
              VersionText(info.hardwareVersion) + ", " + VersionText(info.firmwareVersion));
    RenderMechanisms(token, out);
    out.Field(2, "renewal check", ReadinessText(token));
    if (token.objectsRv != CKR_OK) {
        out.Field(2, "objects", "not all readable: " + ResultText(token.objectsRv));
    }
    RenderObjects(token, authorityIssuers, out);
}

}  // namespace

void RenderModule(const ModuleSurvey& module, const std::vector<std::string>& authorityIssuers,
                  ReportWriter& out) {
    if (module.loadRv == kModuleNotLoaded || module.loadRv == kNoFunctionList) {
        const char* why = module.loadRv == kModuleNotLoaded ? "the file could not be loaded"
                                                            : "it has no C_GetFunctionList";
        out.Field(0, "loads", std::string("no: ") + why + ": " + Printable(module.loadError));
        return;
    }
    if (module.loadRv != CKR_OK) {
        out.Field(0, "loads", "no: C_GetFunctionList failed: " + ResultText(module.loadRv));
        return;
    }
    out.Field(0, "loads", "yes");
    if (module.initRv != CKR_OK) {
        out.Field(0, "C_Initialize", "failed: " + ResultText(module.initRv));
        return;
    }
    if (module.infoRv == CKR_OK) {
        const CK_INFO& info = module.info;
        out.Field(0, "library",
                  FieldText(info.libraryDescription, sizeof info.libraryDescription) + " " +
                      VersionText(info.libraryVersion));
        out.Field(0, "manufacturer", FieldText(info.manufacturerID, sizeof info.manufacturerID));
        out.Field(0, "PKCS#11 version", VersionText(info.cryptokiVersion));
    } else {
        out.Field(0, "C_GetInfo", "failed: " + ResultText(module.infoRv));
    }
    if (module.slotsRv != CKR_OK) {
        out.Field(0, "slots with a token", "not readable: " + ResultText(module.slotsRv));
        return;
    }
    out.Field(0, "slots with a token", std::to_string(module.presentSlots));
    if (module.presentSlots > module.slots.size()) {
        out.Line(0, "only the first " + std::to_string(module.slots.size()) + " are shown");
    }
    for (std::size_t i = 0; i < module.slots.size(); ++i) {
        const SlotSurvey& slot = module.slots[i];
        out.Line(1, "slot " + std::to_string(i + 1) + " (id " + HexNumber(slot.id) + ")");
        if (slot.slotInfoRv == CKR_OK) {
            const CK_SLOT_INFO& info = slot.slotInfo;
            out.Field(2, "reader", FieldText(info.slotDescription, sizeof info.slotDescription));
            out.Field(2, "reader flags", SlotFlagWords(info.flags));
        } else {
            out.Field(2, "reader", "not readable: " + ResultText(slot.slotInfoRv));
        }
        if (slot.tokenInfoRv != CKR_OK) {
            out.Field(2, "token", "not readable: " + ResultText(slot.tokenInfoRv));
        } else if (!slot.token) {
            out.Field(2, "token", "not initialised, the wizard skips this slot");
        } else {
            RenderToken(slot, authorityIssuers, out);
        }
    }
}

}  // namespace qe
