#include "token/token_crypto.h"

#include <algorithm>

#include "token/open_token.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_module.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_cycle.h"
#include "token/token_status.h"
#include "toolkit/digest_info.h"

namespace qe {
namespace {

struct KeyUse {
    CK_MECHANISM_TYPE mechanism;
    CK_RV keyNotFound;
    bool sign;
    CK_RV (*init)(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE);
    CK_RV (*run)(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*);
};

const KeyUse kDecrypt{
    CKM_RSA_PKCS, kTokenNoTokenOrKey, false,
    [](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
        return fn->C_DecryptInit(s, m, k);
    },
    [](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out,
       CK_ULONG* outLen) { return fn->C_Decrypt(s, in, inLen, out, outLen); }};

const KeyUse kSign{
    CKM_SHA256_RSA_PKCS, kTokenSignKeyNotFound, true,
    [](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
        return fn->C_SignInit(s, m, k);
    },
    [](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE s, CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out,
       CK_ULONG* outLen) { return fn->C_Sign(s, in, inLen, out, outLen); }};

// The one private key with this modulus; `found` is false when there is none, or more than one
// (which of them the delivery is for is not known).
CK_RV FindPrivateKey(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const Bytes& modulus,
                     CK_OBJECT_HANDLE& key, bool& found) {
    std::vector<CK_OBJECT_HANDLE> keys;
    const CK_RV rv = FindPrivateKeysToUse(fn, session, modulus, keys);
    found = rv == CKR_OK && keys.size() == 1;
    key = found ? keys.front() : CK_INVALID_HANDLE;
    return rv;
}

// Runs the operation into a zeroed buffer as long as the modulus, which holds any RSA result:
// some tokens end the operation on a length query.
CK_RV RunKeyUse(const KeyUse& use, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                const Bytes& input, std::size_t modulusSize, Bytes& result) {
    CK_BYTE* in = const_cast<CK_BYTE*>(input.data());
    const CK_ULONG inLen = static_cast<CK_ULONG>(input.size());
    CK_ULONG length = static_cast<CK_ULONG>(modulusSize);
    result.assign(modulusSize, 0);
    CK_RV rv = use.run(fn, session, in, inLen, result.data(), &length);
    // A token that wants more room says how much and keeps the operation.
    constexpr CK_ULONG kMaxResult = 64 * 1024;
    if (rv == CKR_BUFFER_TOO_SMALL && length > result.size() && length <= kMaxResult) {
        result.assign(length, 0);
        rv = use.run(fn, session, in, inLen, result.data(), &length);
    }
    if (Checked(rv) != CKR_OK) {
        Wipe(result);
        return rv;
    }
    result.resize(std::min<std::size_t>(length, result.size()));
    return CKR_OK;
}

// Whether the token signs with SHA-256 itself; many only pad (CKM_RSA_PKCS) and need the
// DigestInfo made here.
bool HashesOnToken(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot) {
    CK_MECHANISM_INFO info{};
    return fn->C_GetMechanismInfo(slot, CKM_SHA256_RSA_PKCS, &info) == CKR_OK &&
           (info.flags & CKF_SIGN) != 0;
}

CK_RV UseTokenKey(TokenStep& step, const KeyUse& use, const zel_token& token, const Bytes& keyId,
                  const Secret& pin, const Bytes& input, Bytes& output) {
    if (!output.empty()) {
        return kTokenOutputNotEmpty;
    }
    const auto firstNonZero =
        std::find_if(keyId.begin(), keyId.end(), [](std::uint8_t octet) { return octet != 0; });
    const Bytes modulus(firstNonZero, keyId.end());

    Bytes result;
    WipeOnExit wipeResult(result);
    const CK_RV rv = RunOnTokenLoggedIn(
        step, token, pin,
        [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID slot) -> CK_RV {
            CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
            bool found = false;
            if (CK_RV search = FindPrivateKey(fn, session, modulus, key, found); search != CKR_OK) {
                return search;
            }
            if (!found) {
                return Checked(use.keyNotFound);
            }
            CK_MECHANISM mechanism{use.mechanism, nullptr, 0};
            const bool padOnly = use.sign && !HashesOnToken(fn, slot);
            if (padOnly) {
                mechanism.mechanism = CKM_RSA_PKCS;
            }
            CK_RV started = Checked(use.init(fn, session, &mechanism, key));
            if (started == CKR_OK) {
                started = AuthenticateKeyUse(step, fn, session, key, token.tokenFlags, pin);
            }
            if (started != CKR_OK) {
                return started;
            }
            Bytes digestInfo;
            WipeOnExit wipeDigestInfo(digestInfo);
            if (padOnly) {
                digestInfo = Sha256DigestInfo(input);
            }
            return RunKeyUse(use, fn, session, padOnly ? digestInfo : input, modulus.size(),
                             result);
        },
        true, true);
    if (rv == CKR_OK) {
        output = result;
    }
    return rv;
}

}  // namespace

CK_RV TokenDecrypt(TokenStep& step, const zel_token& token, const Bytes& keyId, const Secret& pin,
                   const Bytes& input, Bytes& output) {
    return UseTokenKey(step, kDecrypt, token, keyId, pin, input, output);
}

CK_RV TokenSign(TokenStep& step, const zel_token& token, const Bytes& keyId, const Secret& pin,
                const Bytes& input, Bytes& output) {
    return UseTokenKey(step, kSign, token, keyId, pin, input, output);
}

}  // namespace qe
