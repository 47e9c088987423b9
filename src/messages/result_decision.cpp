#include "messages/result_decision.h"

#include "messages/messages.h"
#include "net/hosts.h"

namespace qe {

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
    d.flags = boxFlags | kBoxIconHand;
    return d;
}

}  // namespace qe
