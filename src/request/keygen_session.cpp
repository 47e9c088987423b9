#include "request/keygen_session.h"

#include <algorithm>
#include <string>
#include <vector>

#include <openssl/rand.h>

#include "log/enroll_log.h"
#include "token/certificate_parts.h"
#include "token/open_token.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_template.h"
#include "token/token_status.h"

namespace qe {
namespace {

constexpr CK_ULONG kKeyIdBuffer = 255;
// No RSA modulus or exponent a token generates comes near this; a larger length is a fault.
constexpr CK_ULONG kMaxKeyPart = 4096;

// The labels are optional: some tokens refuse them in a key template.
void PublicKeyTemplate(AttributeTemplate& t, CK_ULONG bits, bool label, const Bytes& id) {
    static const std::uint8_t kExponent[] = {0x01, 0x00, 0x01};
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_TOKEN, true).Ulong(CKA_KEY_TYPE, CKK_RSA);
    if (label) {
        t.Text(CKA_LABEL, kProvisionalPublicKeyLabel);
    }
    t.Ulong(CKA_MODULUS_BITS, bits)
        .Data(CKA_PUBLIC_EXPONENT, kExponent, sizeof kExponent)
        .Bool(CKA_VERIFY, true)
        .Bool(CKA_ENCRYPT, true)
        .Data(CKA_ID, id);
}

// The private key's protection is stated, never left to the token's defaults: some tokens make
// keys readable and exportable unless told otherwise.
void PrivateKeyTemplate(AttributeTemplate& t, bool label, bool protection, const Bytes& id) {
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
    if (label) {
        t.Text(CKA_LABEL, kProvisionalPrivateKeyLabel);
    }
    t.Bool(CKA_SIGN, true).Bool(CKA_DECRYPT, true).Data(CKA_ID, id);
    if (protection) {
        t.Bool(CKA_SENSITIVE, true).Bool(CKA_EXTRACTABLE, false);
    }
}

// Results by which a token says it does not take a template as it stands.
bool TemplateRefused(CK_RV rv) {
    return rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_VALUE_INVALID ||
           rv == CKR_ATTRIBUTE_READ_ONLY || rv == CKR_TEMPLATE_INCONSISTENT;
}

// Whether the token refuses to give out the key's private exponent because it is secret.
bool PrivateExponentRefused(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_ATTRIBUTE exponent{CKA_PRIVATE_EXPONENT, nullptr, 0};
    return Checked(fn->C_GetAttributeValue(session, key, &exponent, 1)) == CKR_ATTRIBUTE_SENSITIVE;
}

// Reads back whether the private key is sensitive and not extractable. Returns 0 with
// `protectedKey`, or the failure of the read. A token that does not know the attributes cannot
// show the key is protected, so it is taken as not protected. OpenSC never reports a key it made
// on a card as sensitive (its PKCS#11 library keeps no access flags for it): a key that cannot be
// extracted counts as protected too when the token refuses its private exponent as secret.
CK_RV ReadKeyProtection(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                        bool& protectedKey) {
    CK_BBOOL sensitive = CK_FALSE;
    CK_BBOOL extractable = CK_TRUE;
    CK_ATTRIBUTE flags[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive},
                            {CKA_EXTRACTABLE, &extractable, sizeof extractable}};
    const CK_RV rv = Checked(fn->C_GetAttributeValue(session, key, flags, 2));
    protectedKey = rv == CKR_OK && extractable == CK_FALSE &&
                   (sensitive == CK_TRUE || PrivateExponentRefused(fn, session, key));
    return rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE ? CKR_OK : rv;
}

}  // namespace

Bytes NewProvisionalKeyId() {
    std::uint8_t random[16] = {};
    if (RAND_bytes(random, sizeof random) != 1) {
        return {};
    }
    return ToBytes(std::string(kProvisionalKeyId) + " " + ToHexLower(random, sizeof random));
}

KeygenSession::~KeygenSession() {
    if (!session_.open()) {
        return;
    }
    step_.EndLoan(module_.fn(), session_.handle());
    if (!keepKeyPair_ && DestroyKeyPair()) {
        Forget();
    }
    if (login_.alreadyLoggedIn()) {
        // Someone else's login: their sessions and the library's state stay as they are, and the
        // library stays loaded under them. Only our session is closed (by its guard).
        module_.KeepInitialized();
        return;
    }
    // Clean-up results are not recorded: the failure that ended the work is the one to report.
    login_.Logout();
    session_.Close();
    if (!sharedLibrary_ && !step_.Active()) {
        // Any other session on the slot is this cycle's too: another part of the process would
        // have initialised the library before us.
        module_.fn()->C_CloseAllSessions(slot_);
    }
}

CK_RV KeygenSession::Open(const zel_token& token) {
    tokenFlags_ = token.tokenFlags;
    tokenKey_ = LedgerTokenKey(token);
    CK_RV rv = module_.Load(token.modulePath, step_);
    if (rv == kNoFunctionList) {
        return kKeygenNoFunctionList;
    }
    if (rv != CKR_OK) {
        return rv;
    }
    rv = module_.Initialize();
    sharedLibrary_ = rv == CKR_CRYPTOKI_ALREADY_INITIALIZED || module_.shared();
    if (rv != CKR_OK && !sharedLibrary_) {
        return rv;
    }
    std::vector<CK_SLOT_ID> slots;
    rv = GetPresentSlots(module_.fn(), slots);
    if (rv != CKR_OK) {
        return rv;
    }
    // The key goes to the token chosen or nowhere, wherever its slot is now.
    if ((rv = FindListedSlot(module_.fn(), slots, token, slot_)) != CKR_OK) {
        return rv;
    }
    return session_.Open(module_.fn(), slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION);
}

CK_RV KeygenSession::Login(const Secret& pin) {
    const CK_RV rv = login_.Login(step_, module_.fn(), session_.handle(), tokenFlags_, pin, true);
    Log().Write("Login status: " + std::to_string(rv));
    pin_ = pin.Clone();
    if (rv == CKR_OK) {
        // Its handles hold only in it: the step's cycles run in it while it lives.
        step_.LendSession(module_.fn(), slot_, session_.handle());
    }
    return rv == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : rv;
}

CK_RV KeygenSession::Find(AttributeTemplate& pattern, std::vector<CK_OBJECT_HANDLE>& found) {
    found.clear();
    return FindAllObjects(module_.fn(), session_.handle(), pattern, found);
}

CK_RV KeygenSession::NoteHoldings() {
    CK_FUNCTION_LIST* fn = module_.fn();
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    std::vector<CK_OBJECT_HANDLE> certificates;
    CK_RV rv = Find(pattern, certificates);
    if (rv != CKR_OK) {
        return rv;
    }
    for (const CK_OBJECT_HANDLE certificate : certificates) {
        Holding holding;
        CertificateParts parts;
        if ((rv = ReadAttribute(fn, session_.handle(), certificate, CKA_VALUE,
                                holding.certificate)) != CKR_OK) {
            return rv;
        }
        if (ParseCertificateParts(holding.certificate, parts) != 0) {
            continue;
        }
        holding.modulus = parts.modulus;
        std::vector<CK_OBJECT_HANDLE> keys;
        if ((rv = FindKeysWithModulus(fn, session_.handle(), CKO_PRIVATE_KEY, holding.modulus,
                                      keys)) != CKR_OK) {
            return rv;
        }
        if (!keys.empty()) {
            holdings_.push_back(std::move(holding));
        }
    }
    return CKR_OK;
}

CK_RV KeygenSession::GenerateKeyPair(CK_ULONG bits) {
    CK_RV rv = CKR_OK;
    // A refused template is tried again with less: first without the labels, then also without
    // the protection attributes, which some tokens refuse because they always set them.
    for (const auto& [labels, protection] :
         {std::pair{true, true}, {false, true}, {false, false}}) {
        // Written before the token is asked, so that what a cut generation left can be proven
        // ours; each attempt has its own, so a refused one cannot be taken for the next.
        id_ = NewProvisionalKeyId();
        if (id_.empty()) {
            return Checked(CKR_FUNCTION_FAILED);
        }
        if (!Record(LedgerState::Made)) {
            return kKeygenLedgerUnwritable;
        }
        AttributeTemplate publicTemplate;
        PublicKeyTemplate(publicTemplate, bits, labels, id_);
        AttributeTemplate privateTemplate;
        PrivateKeyTemplate(privateTemplate, labels, protection, id_);
        CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        rv = Checked(module_.fn()->C_GenerateKeyPair(
            session_.handle(), &mechanism, publicTemplate.data(), publicTemplate.size(),
            privateTemplate.data(), privateTemplate.size(), &publicKey_, &privateKey_));
        if (rv != CKR_OK) {
            publicKey_ = privateKey_ = CK_INVALID_HANDLE;
            // A pair made although the answer was lost would stay on the token for nothing.
            if (DestroyPairsWithId(id_, {}) != Found::Unknown) {
                Forget();
            }
        }
        // Logged in as the user, yet refused for the user: the token wants its administrator.
        if (rv == CKR_USER_TYPE_INVALID || rv == CKR_USER_NOT_LOGGED_IN) {
            return kTokenKeygenNeedsAdmin;
        }
        // Even the plainest template has a value refused: the token chooses where its keys go
        // (a PIV card's fixed slots), and the wizard never names one of those.
        if (!protection && rv == CKR_ATTRIBUTE_VALUE_INVALID) {
            return kTokenKeygenFixedSlots;
        }
        if (!protection || !TemplateRefused(rv)) {
            break;
        }
        Log().Write("Key template refused (" + std::to_string(rv) + "): trying without " +
                    (labels ? "the labels" : "the protection attributes"));
    }
    return rv;
}

CK_RV KeygenSession::CheckHoldings() {
    CK_RV rv = CKR_OK;
    for (const Holding& holding : holdings_) {
        AttributeTemplate certificate;
        certificate.Ulong(CKA_CLASS, CKO_CERTIFICATE).Data(CKA_VALUE, holding.certificate);
        std::vector<CK_OBJECT_HANDLE> found;
        for (const bool key : {false, true}) {
            rv = key ? FindKeysWithModulus(module_.fn(), session_.handle(), CKO_PRIVATE_KEY,
                                           holding.modulus, found)
                     : Find(certificate, found);
            if (rv != CKR_OK) {
                Log().Write(
                    "The token's certificates could not be checked after the key "
                    "generation: the new key pair is left as it is");
                keepKeyPair_ = true;  // whether the token replaced a key is unknown
                return rv;
            }
            if (found.empty()) {
                Log().Write(
                    "The token replaced a certificate or its key with the new key pair: "
                    "nothing more is changed");
                KeepKeyPair();
                return kTokenReplacedKey;
            }
        }
    }
    return CKR_OK;
}

CK_RV KeygenSession::CheckProtection() {
    bool protectedKey = false;
    CK_RV rv = ReadKeyProtection(module_.fn(), session_.handle(), privateKey_, protectedKey);
    if (rv == CKR_OK && !protectedKey) {
        Log().Write("The new private key is not sensitive or can be extracted: key pair destroyed");
        rv = kTokenKeyNotProtected;
    }
    if (rv != CKR_OK && DestroyKeyPair()) {
        Forget();
    }
    return rv;
}

CK_RV KeygenSession::ReadPublicKey(Bytes& modulus, Bytes& publicExponent) {
    CK_ATTRIBUTE parts[] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
    CK_RV rv = Checked(module_.fn()->C_GetAttributeValue(session_.handle(), publicKey_, parts, 2));
    if (rv != CKR_OK) {
        return rv;
    }
    if (std::any_of(std::begin(parts), std::end(parts), [](const CK_ATTRIBUTE& a) {
            return a.ulValueLen == 0 || a.ulValueLen > kMaxKeyPart;
        })) {
        return Checked(CKR_ATTRIBUTE_VALUE_INVALID);
    }
    modulus.assign(parts[0].ulValueLen, 0);
    publicExponent.assign(parts[1].ulValueLen, 0);
    parts[0].pValue = modulus.data();
    parts[1].pValue = publicExponent.data();
    rv = Checked(module_.fn()->C_GetAttributeValue(session_.handle(), publicKey_, parts, 2));
    if (rv != CKR_OK) {
        return rv;
    }
    modulus.resize(std::min<std::size_t>(parts[0].ulValueLen, modulus.size()));
    publicExponent.resize(std::min<std::size_t>(parts[1].ulValueLen, publicExponent.size()));
    modulus_ = modulus;
    return Record(LedgerState::Made) ? CKR_OK : kKeygenLedgerUnwritable;
}

CK_RV KeygenSession::DescribePrivateKey() {
    CK_TOKEN_INFO info{};
    CK_RV rv = Checked(module_.fn()->C_GetTokenInfo(slot_, &info));
    if (rv != CKR_OK) {
        return rv;
    }
    CK_KEY_TYPE keyType = 0;
    std::uint8_t id[kKeyIdBuffer] = {};
    CK_ATTRIBUTE description[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType},
                                  {CKA_ID, id, sizeof id}};
    rv = Checked(module_.fn()->C_GetAttributeValue(session_.handle(), privateKey_, description, 2));
    if (rv != CKR_OK) {
        return rv;
    }
    return keyType == CKK_RSA ? CKR_OK : kTokenKeyOperationImpossible;
}

int KeygenSession::SignDigestInfo(const Bytes& digestInfo, Bytes& signature) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (Checked(module_.fn()->C_SignInit(session_.handle(), &mechanism, privateKey_)) != CKR_OK) {
        return static_cast<int>(kTokenKeyOperationImpossible);
    }
    if (const CK_RV rv = AuthenticateKeyUse(step_, module_.fn(), session_.handle(), privateKey_,
                                            tokenFlags_, pin_);
        rv != CKR_OK) {
        return static_cast<int>(rv);
    }
    // A PKCS#1 v1.5 signature is exactly as long as the modulus.
    signature.assign(modulus_.size(), 0);
    CK_ULONG length = static_cast<CK_ULONG>(modulus_.size());
    if (Checked(module_.fn()->C_Sign(session_.handle(), const_cast<CK_BYTE*>(digestInfo.data()),
                                     static_cast<CK_ULONG>(digestInfo.size()), signature.data(),
                                     &length)) != CKR_OK ||
        length == 0 || length > signature.size()) {
        signature.clear();
        return static_cast<int>(kTokenKeyOperationImpossible);
    }
    signature.resize(length);
    return 0;
}

}  // namespace qe
