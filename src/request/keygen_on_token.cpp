#include "request/keygen_on_token.h"

#include "log/enroll_log.h"
#include "request/certification_request.h"
#include "request/keygen_session.h"
#include "request/pem.h"
#include "token/key_limits.h"
#include "token/token_status.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/status.h"

namespace qe {
namespace {

// Whether the subject and the requested names can be encoded at all: found out before a key
// pair is generated, so bad input does not leave an unusable key pair on the token.
int CheckRequestContent(const SubjectFields& subject, const RequestedExtensions* extensions) {
    X509NamePtr name;
    if (int rc = BuildSubjectName(subject, name); rc != 0) {
        return rc;
    }
    if (extensions == nullptr) {
        return 0;
    }
    X509ReqPtr scratch(X509_REQ_new());
    if (!scratch) {
        return kToolkitNoMemory;
    }
    return AddSubjectAltNameRequest(scratch.get(), extensions->altNames);
}

}  // namespace

KeyPairHold::KeyPairHold() = default;
KeyPairHold::~KeyPairHold() = default;

CK_RV GenerateSigningKeysOnToken(TokenStep& step, const std::vector<std::int32_t>& keySizes,
                                 const zel_token& token, const Secret& pin,
                                 const SubjectFields& subject,
                                 const RequestedExtensions* extensions, std::string& pem,
                                 KeyPairHold* hold) {
    LogTag tag("GenerateSigningKeysOnToken");
    Log().Write("GenerateSigningKeysOnToken");
    for (std::size_t i = 0; i < keySizes.size(); ++i) {
        Log().Write("Using key of size " + std::to_string(keySizes[i]));
        const CK_RV rv = SL_GenerateSigningKeysOnToken(step, keySizes[i], token, pin, subject,
                                                       extensions, pem, hold);
        if (rv != CKR_KEY_SIZE_RANGE || i + 1 == keySizes.size()) {
            return rv;
        }
        Log().Write("Cannot use key of size " + std::to_string(keySizes[i]));
    }
    return CKR_OK;
}

CK_RV SL_GenerateSigningKeysOnToken(TokenStep& step, std::int32_t keySize, const zel_token& token,
                                    const Secret& pin, const SubjectFields& subject,
                                    const RequestedExtensions* extensions, std::string& pem,
                                    KeyPairHold* hold) {
    LogTag tag("SL_GenerateSigningKeysOnToken");
    Log().Write("SL_GenerateSigningKeysOnToken");

    RsaKeyLimits limits;
    CK_RV rv = ReadRsaKeyLimits(step, token, limits);
    if (rv != CKR_OK) {
        return rv;
    }
    // Keys are made and used on the token or not at all: there is no software path.
    if (!limits.KeysStayOnToken()) {
        return kTokenKeyOperationImpossible;
    }
    if (!limits.Fits(keySize)) {
        return CKR_KEY_SIZE_RANGE;
    }
    if (int rc = CheckRequestContent(subject, extensions); rc != 0) {
        return static_cast<CK_RV>(rc);
    }

    auto session = std::make_unique<KeygenSession>(step);
    if ((rv = session->Open(token)) != CKR_OK || (rv = session->Login(pin)) != CKR_OK) {
        return rv;
    }
    if (hold != nullptr) {
        session->SettleEarlierKeyPairs(hold->certificateWaits);
    }
    if ((rv = session->NoteHoldings()) != CKR_OK ||
        (rv = session->GenerateKeyPair(static_cast<CK_ULONG>(keySize))) != CKR_OK ||
        (rv = session->CheckHoldings()) != CKR_OK || (rv = session->CheckProtection()) != CKR_OK) {
        return rv;
    }
    RequestContent content;
    content.subject = subject;
    content.extensions = extensions;
    if ((rv = session->ReadPublicKey(content.modulus, content.publicExponent)) != CKR_OK ||
        (rv = session->DescribePrivateKey()) != CKR_OK) {
        return rv;
    }
    Bytes der;
    const int rc = BuildCertificationRequest(
        content,
        [&session](const Bytes& digestInfo, Bytes& signature) {
            return session->SignDigestInfo(digestInfo, signature);
        },
        der);
    if (rc != 0) {
        return static_cast<CK_RV>(rc);
    }
    pem = CertificateRequestPem(der);
    if (hold != nullptr) {
        hold->session = std::move(session);
    } else {
        session->KeepKeyPair();
    }
    return CKR_OK;
}

}  // namespace qe
