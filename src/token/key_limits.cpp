#include "token/key_limits.h"

#include "token/pkcs11_call.h"
#include "token/pki.h"

namespace qe {
namespace {

// The mechanism's information; `offered` is false when the token does not know the mechanism.
CK_RV ReadMechanism(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, CK_MECHANISM_TYPE mechanism,
                    CK_MECHANISM_INFO& info, bool& offered) {
    offered = false;
    info = {};
    // Recorded even when it only means "not offered": it is the reason a request then fails.
    const CK_RV rv = Checked(fn->C_GetMechanismInfo(slot, mechanism, &info));
    if (rv == CKR_MECHANISM_INVALID) {
        return CKR_OK;
    }
    offered = rv == CKR_OK;
    return rv;
}

}  // namespace

CK_RV ReadRsaKeyLimits(TokenStep& step, const zel_token& token, RsaKeyLimits& limits) {
    limits = {};
    OpenedToken opened;
    CK_RV rv = CPKI(step).OpenListedToken(token, opened);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_MECHANISM_INFO info{};
    bool offered = false;
    rv = ReadMechanism(opened.fn(), opened.slotId, CKM_RSA_PKCS_KEY_PAIR_GEN, info, offered);
    if (rv != CKR_OK || !offered) {
        return rv;
    }
    limits.minBits = info.ulMinKeySize;
    limits.maxBits = info.ulMaxKeySize;
    limits.generatesKeyPairs = (info.flags & CKF_GENERATE_KEY_PAIR) != 0;

    rv = ReadMechanism(opened.fn(), opened.slotId, CKM_RSA_PKCS, info, offered);
    if (rv != CKR_OK) {
        return rv;
    }
    limits.signsPkcs1 = offered && (info.flags & CKF_SIGN) != 0;
    return CKR_OK;
}

}  // namespace qe
