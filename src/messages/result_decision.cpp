#include "messages/result_decision.h"

#include "messages/messages.h"
#include "net/hosts.h"

namespace qe {
namespace {

constexpr int kRegisterSuccessText = 108;

}  // namespace

ResultDecision DecideResult(ErrorId id, int successText, unsigned boxFlags,
                            const std::wstring& serverMessage, const std::string& tokenHash) {
    ResultDecision d;
    if (id == ERR_CANCELLED) {
        return d;
    }
    if (id == ERR_SUCCESS) {
        if (successText != 0) {
            d.kind = ResultDecision::Kind::MessageBox;
            d.text = LoadString(successText);
            d.caption = LoadString(111);
            d.flags = kBoxIconAsterisk;
        }
        return d;
    }
    if (id == ERR_OLD_CERTIFICATE_KEPT) {
        // The renewal worked; only the old certificate stayed: told as the success it is.
        d.kind = ResultDecision::Kind::MessageBox;
        d.text = ErrorText(id);
        d.caption = LoadString(111);
        d.flags = kBoxIconAsterisk;
        return d;
    }
    d.caption = LoadString(id == ERR_SERVER ? 113 : 109);
    // A PIN the token refused is never sent again unasked, nor one typed for a token that has
    // been gone since: the one put back may be another with the same name.
    d.clearCachedPin = id == ERR_WRONG_PIN || id == ERR_LOGIN_REFUSED || id == ERR_NO_TOKEN;
    if (id == ERR_TOKEN_RESTRICTED) {
        d.kind = ResultDecision::Kind::TokenRestrictionAlert;
        d.caption.clear();  // the restriction alert has no title
        d.text = LoadString(148);
        d.buttonText = LoadString(152);
        d.link = RekeyAddress() + "?tkh=" + tokenHash;
        return d;
    }
    if (id == ERR_OLD_DRIVER) {
        d.kind = ResultDecision::Kind::OldDriverAlert;
        d.text = OldDriverText();
        d.buttonText = LoadString(136);
        return d;
    }
    d.kind = ResultDecision::Kind::MessageBox;
    d.text = ErrorText(id, serverMessage);
    // In a register the missing key is the one of the certificate being renewed, on the token in
    // use: no other token can help.
    if (id == ERR_KEY_NOT_FOUND && successText == kRegisterSuccessText) {
        d.text = LoadString(216);
    }
    d.flags = boxFlags | kBoxIconHand;
    d.waitsForToken = (boxFlags & 0x0F) == kBoxRetryCancel &&
                      (id == ERR_NO_TOKEN || id == ERR_TOKEN_IN_USE ||
                       id == ERR_TOKEN_NO_SOFTWARE || id == ERR_CARD_SERVICE_DOWN);
    return d;
}

}  // namespace qe
