#include "token/zel_token.h"

#include <cstring>

#include "toolkit/bytes.h"

namespace qe {

static_assert(sizeof(zel_token::serialNumber) == sizeof(CK_TOKEN_INFO::serialNumber));
static_assert(sizeof(zel_token::label) == sizeof(CK_TOKEN_INFO::label));
static_assert(sizeof(zel_token::slotDescription) == sizeof(CK_SLOT_INFO::slotDescription));
static_assert(sizeof(zel_token::manufacturerID) == sizeof(CK_TOKEN_INFO::manufacturerID));
static_assert(sizeof(zel_token::model) == sizeof(CK_TOKEN_INFO::model));

zel_token MakeTokenRecord(const CK_SLOT_INFO& slot, const CK_TOKEN_INFO& token, CK_SLOT_ID slotId,
                          std::uint32_t slotIndex, const std::string& modulePath) {
    zel_token record;
    std::memcpy(record.serialNumber, token.serialNumber, sizeof record.serialNumber);
    std::memcpy(record.label, token.label, sizeof record.label);
    std::memcpy(record.slotDescription, slot.slotDescription, sizeof record.slotDescription);
    std::memcpy(record.manufacturerID, token.manufacturerID, sizeof record.manufacturerID);
    std::memcpy(record.model, token.model, sizeof record.model);
    record.slotIndex = slotIndex;
    record.slotId = slotId;
    record.modulePath = modulePath;
    record.tokenFlags = token.flags;
    return record;
}

bool HasSerialNumber(const CK_TOKEN_INFO& info, const zel_token& token) {
    return std::memcmp(info.serialNumber, token.serialNumber, sizeof token.serialNumber) == 0;
}

bool IsListedToken(const CK_TOKEN_INFO& info, const zel_token& token) {
    // Some libraries give every token the same dummy serial number: the label counts too.
    return HasSerialNumber(info, token) &&
           std::memcmp(info.label, token.label, sizeof token.label) == 0;
}

std::string SerialText(const zel_token& token) {
    return TextUpToBlank(token.serialNumber, sizeof token.serialNumber);
}

std::string LabelText(const zel_token& token) {
    return TextUpToBlank(token.label, sizeof token.label);
}

std::string ManufacturerText(const zel_token& token) {
    return TextUpToBlank(token.manufacturerID, sizeof token.manufacturerID);
}

std::string ModelText(const zel_token& token) {
    return TextUpToBlank(token.model, sizeof token.model);
}

}  // namespace qe
