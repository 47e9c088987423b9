#include "net/encrypted_delivery.h"

#include "log/enroll_log.h"
#include "net/envelope.h"
#include "token/token_crypto.h"
#include "token/token_hash.h"
#include "toolkit/secret.h"

namespace qe {

int OpenEnvelope(const Bytes& message, const Secret& pin, const std::string& modulePath, bool sign,
                 Bytes& result) {
    EnvelopeKeyOperations token;
    token.decrypt = [&](const Bytes& keyId, const Bytes& input, Bytes& output) {
        return static_cast<int>(TokenDecrypt(modulePath, keyId, pin, input, output));
    };
    token.sign = [&](const Bytes& keyId, const Bytes& input, Bytes& output) {
        return static_cast<int>(TokenSign(modulePath, keyId, pin, input, output));
    };
    return OpenEnvelopeWith(message, sign, token, result);
}

ErrorId RequestAndDecrypt(CHttpsClient& client, const Secret& pin, Bytes& output,
                          const zel_token& token, bool sign, const std::wstring& path) {
    LogTag tag("RequestAndDecrypt");
    std::wstring scratch;
    if (const int rc = GetTokenHash(token, scratch); rc != 0) {
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
    const Bytes pinned = PinnedKeyId();
    if (pinned.empty()) {
        SetPinnedKeyId(keyId);
    } else if (pinned != keyId) {
        return ERR_SERVER;
    }
    Bytes result;
    WipeOnExit wipeResult(result);
    switch (OpenEnvelope(body, pin, token.modulePath, sign, result)) {
        case 0:
            break;
        case 160:  // CKR_PIN_INCORRECT
            return ERR_WRONG_PIN;
        case kDeliveryNoKey:
            return ERR_KEY_NOT_FOUND;
        default:
            return ERR_BAD_RESPONSE;
    }
    Wipe(output);
    output = result;
    return ERR_SUCCESS;
}

}  // namespace qe
