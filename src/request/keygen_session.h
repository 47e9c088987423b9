#pragma once

#include <p11-kit/pkcs11.h>

#include "token/pkcs11_module.h"
#include "token/pkcs11_session.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe {

// The names a new key pair carries until its certificate is installed, which gives both keys the
// certificate's label and key identifier.
inline constexpr const char* kProvisionalPublicKeyLabel = "Tarnwick Public Key";
inline constexpr const char* kProvisionalPrivateKeyLabel = "Tarnwick Private Key";
inline constexpr const char* kProvisionalKeyId = "OBJECT ID";

// Returned by Open when the library has no C_GetFunctionList.
inline constexpr CK_RV kKeygenNoFunctionList = 0xFFFFFFFF;

// The PKCS#11 cycle in which a key pair is generated and the request signed: the record's
// library, the slot at the record's position (holding the record's token), one read-write session
// with the user logged in. The steps are called in the order they are declared; each returns 0 or
// the CK_RV (or code) that ends the generation. Clean-up runs on every path as far as something
// was opened: log out, close the session, close the slot's other sessions, then finalise and
// unload. A login that found the user already logged in is left in place: no logout, no closing
// of other sessions, no finalisation, and the library stays loaded; only this session is closed.
// A library that was already initialised in this process is neither finalised nor are its other
// sessions closed. A key pair generated here is destroyed again at the end unless KeepKeyPair
// was called: a key pair no request will use is never left behind.
class KeygenSession {
public:
    KeygenSession() = default;
    ~KeygenSession();
    KeygenSession(const KeygenSession&) = delete;
    KeygenSession& operator=(const KeygenSession&) = delete;

    // Loads `modulePath`, initialises it (a library already initialised is accepted and not
    // finalised here), lists the present slots and opens a read-write session on the one at
    // `slotIndex`. Returns 0; kModuleNotLoaded (7); kKeygenNoFunctionList; the failing CK_RV;
    // CKR_TOKEN_NOT_PRESENT (224) when the slot list is shorter than the position or the token
    // in that slot has another serial number.
    CK_RV Open(const zel_token& token);
    // C_Login as CKU_USER; logs "Login status: <rv>". Returns 0 also when the user was already
    // logged in, otherwise the token's result (160 for a wrong PIN).
    CK_RV Login(const Secret& pin);
    // C_GenerateKeyPair with CKM_RSA_PKCS_KEY_PAIR_GEN and the two fixed templates, the private
    // key stated sensitive and not extractable (once more without those two when the token
    // refuses the template), then reads that protection back. Returns 0, the token's result, or
    // kTokenKeyNotProtected when the new private key is not sensitive or can be extracted (the
    // pair is then destroyed at once).
    CK_RV GenerateKeyPair(CK_ULONG bits);
    // The new public key's modulus and public exponent (big-endian).
    CK_RV ReadPublicKey(Bytes& modulus, Bytes& publicExponent);
    // Reads what binds the signer to the new private key: the token's information and the key's
    // type and identifier. A key that is not RSA gives kTokenKeyOperationImpossible (523).
    CK_RV DescribePrivateKey();
    // The PKCS#1 v1.5 signature of a DigestInfo by the new private key (CKM_RSA_PKCS, the token
    // pads; the PIN again when the key wants it for each use). Returns 0, the result of that
    // login, or kTokenKeyOperationImpossible (523) when C_SignInit or C_Sign fails.
    int SignDigestInfo(const Bytes& digestInfo, Bytes& signature);
    // The key pair stays on the token when the session ends (its request is built).
    void KeepKeyPair() { keepKeyPair_ = true; }

    bool alreadyLoggedIn() const { return login_.alreadyLoggedIn(); }

private:
    void DestroyKeyPair();

    Pkcs11Module module_;
    Pkcs11Session session_;
    Pkcs11Login login_;
    CK_SLOT_ID slot_ = 0;
    CK_FLAGS tokenFlags_ = 0;  // as listed: whether the reader takes the PIN
    CK_OBJECT_HANDLE publicKey_ = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey_ = CK_INVALID_HANDLE;
    CK_ULONG modulusSize_ = 0;
    bool sharedLibrary_ = false;  // initialised before us in this process: not ours to finalise
    bool keepKeyPair_ = false;
    Secret pin_;
};

}  // namespace qe
