#pragma once

#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/pkcs11_module.h"
#include "token/zel_token.h"

namespace qe {

// A token's library loaded and initialised, with its present-slot list and the slot that holds
// the token. Destruction finalises (when this load initialised it) and releases the library.
struct OpenedToken {
    Pkcs11Module module;
    std::vector<CK_SLOT_ID> slots;
    CK_SLOT_ID slotId = 0;

    CK_FUNCTION_LIST* fn() const { return module.fn(); }
};

// C_GetSlotList with tokenPresent true, count first and then the list. Returns its CK_RV; a
// count of 0 gives CKR_OK with `slots` empty.
CK_RV GetPresentSlots(CK_FUNCTION_LIST* fn, std::vector<CK_SLOT_ID>& slots);

// The listed token among the present slots of its library: the slot holding a token with the
// record's serial number and label, the record's slot looked at first (slot IDs may change between
// calls). Returns 0 with `slot`; 224 when no slot holds it; the failure of C_GetTokenInfo on the
// record's slot when that slot could not be read.
CK_RV FindListedSlot(CK_FUNCTION_LIST* fn, const std::vector<CK_SLOT_ID>& slots,
                     const zel_token& token, CK_SLOT_ID& slot);

// The start of every cycle of `step` on a library: load it by its stored name, C_Initialize
// (already initialised by someone else counts, and is then not finalised here) and list the present
// slots. Returns the first failing result, or 0 with `module` holding the initialised library.
CK_RV LoadWithPresentSlots(TokenStep& step, const std::string& modulePath, Pkcs11Module& module,
                           std::vector<CK_SLOT_ID>& slots);

}  // namespace qe
