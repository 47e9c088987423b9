#pragma once

#include <cstdint>
#include <string>

#include <p11-kit/pkcs11.h>

namespace qe {

// One token on one slot of one PKCS#11 library, as the token list found it. The text fields are
// the blank-padded, unterminated fields of CK_TOKEN_INFO / CK_SLOT_INFO; the serial number is the
// token's identity. Copied freely.
struct zel_token {
    char serialNumber[16] = {};
    char label[32] = {};
    char slotDescription[64] = {};
    char manufacturerID[32] = {};
    char model[16] = {};
    // Position of the slot in this library's list of slots with a token.
    std::uint32_t slotIndex = 0;
    // The slot's ID: with the library and the serial number, what names this token. Libraries
    // may show several tokens with one serial number (or one dummy serial for all).
    CK_SLOT_ID slotId = 0;
    // The library's file name exactly as it stands in the module list.
    std::string modulePath;
    // CK_TOKEN_INFO flags when the token was listed (the PIN dialog warns from the PIN flags).
    CK_FLAGS tokenFlags = 0;
};

// The record for the token in the slot `slotId`, at `slotIndex` of the library's present slots.
zel_token MakeTokenRecord(const CK_SLOT_INFO& slot, const CK_TOKEN_INFO& token, CK_SLOT_ID slotId,
                          std::uint32_t slotIndex, const std::string& modulePath);

// Whether the token information carries the record's serial number (all 16 bytes).
bool HasSerialNumber(const CK_TOKEN_INFO& info, const zel_token& token);

// Whether the token with this information is the record's token: same serial number and label
// (the library is the caller's to match; slot IDs may change between calls).
bool IsListedToken(const CK_TOKEN_INFO& info, const zel_token& token);

// The fields as text, each up to its first blank or NUL (whole when it has none, empty when it
// starts with one): the form the header lines and the token hash use.
std::string SerialText(const zel_token& token);
std::string LabelText(const zel_token& token);
std::string ManufacturerText(const zel_token& token);
std::string ModelText(const zel_token& token);

}  // namespace qe
