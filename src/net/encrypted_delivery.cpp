#include "net/encrypted_delivery.h"

#include "log/enroll_log.h"
#include "net/envelope.h"
#include "token/token_crypto.h"
#include "token/token_hash.h"
#include "token/token_status.h"
#include "toolkit/secret.h"

namespace qe {

ErrorId TokenFailureErrorId(CK_RV rv) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_LEN_RANGE:
            return ERR_WRONG_PIN;
        case CKR_PIN_LOCKED:
            return ERR_PIN_LOCKED;
        case kTokenLoginRefused:
            return ERR_LOGIN_REFUSED;
        case kTokenNewPinRefused:
            return ERR_NEW_PIN_REFUSED;
        case CKR_FUNCTION_CANCELED:
            return ERR_CANCELLED;  // on the reader's keypad
        case kTokenNoTokenOrKey:
        case kTokenSignKeyNotFound:
            return ERR_KEY_NOT_FOUND;
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
        case CKR_SLOT_ID_INVALID:
            return ERR_NO_TOKEN;
        case CKR_ENCRYPTED_DATA_INVALID:
        case CKR_ENCRYPTED_DATA_LEN_RANGE:
            // The key is there and works: what the server sent does not open with it.
            return ERR_BAD_RESPONSE;
        default:
            return ERR_TOKEN_DEVICE;
    }
}

int OpenEnvelope(TokenStep& step, const Bytes& message, const Secret& pin, const zel_token& token,
                 bool sign, Bytes& result, CK_RV* tokenFailure) {
    CK_RV failure = CKR_OK;
    const auto noted = [&failure](CK_RV rv) {
        failure = rv != CKR_OK ? rv : failure;
        return static_cast<int>(rv);
    };
    EnvelopeKeyOperations operations;
    operations.decrypt = [&](const Bytes& keyId, const Bytes& input, Bytes& output) {
        return noted(TokenDecrypt(step, token, keyId, pin, input, output));
    };
    operations.sign = [&](const Bytes& keyId, const Bytes& input, Bytes& output) {
        return noted(TokenSign(step, token, keyId, pin, input, output));
    };
    const int rc = OpenEnvelopeWith(message, sign, operations, result);
    if (tokenFailure != nullptr) {
        *tokenFailure = failure;
    }
    return rc;
}

ErrorId RequestAndDecrypt(TokenStep& step, CHttpsClient& client, const Secret& pin, Bytes& output,
                          const zel_token& token, bool sign, const std::wstring& path,
                          Bytes& pinnedKeyId) {
    LogTag tag("RequestAndDecrypt");
    std::wstring line;
    std::string hash;
    if (const int rc = GetTokenHash(token, line, hash); rc != 0) {
        return rc;
    }
    if (const ErrorId rc = client.SendRequest(path, nullptr, nullptr); rc != ERR_SUCCESS) {
        return rc;
    }
    Bytes body;
    WipeOnExit wipeBody(body);
    if (const ErrorId rc = client.ReceiveResponse(body); rc != ERR_SUCCESS) {
        return rc;
    }
    Bytes keyId;
    if (GetEnvelopeKeyId(body, keyId) != 0) {
        return ERR_BAD_RESPONSE;
    }
    if (pinnedKeyId.empty()) {
        pinnedKeyId = keyId;
    } else if (pinnedKeyId != keyId) {
        return ERR_SERVER;
    }
    Bytes result;
    WipeOnExit wipeResult(result);
    CK_RV tokenFailure = CKR_OK;
    if (const int rc = OpenEnvelope(step, body, pin, token, sign, result, &tokenFailure); rc != 0) {
        // A token that fails is the token's problem, never a bad answer of the server's.
        return tokenFailure != CKR_OK ? TokenFailureErrorId(tokenFailure) : ERR_BAD_RESPONSE;
    }
    Wipe(output);
    output = result;
    return ERR_SUCCESS;
}

}  // namespace qe
