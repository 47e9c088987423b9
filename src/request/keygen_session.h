#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "net/https_client.h"
#include "request/key_pair_ledger.h"
#include "token/pkcs11_module.h"
#include "token/pkcs11_session.h"
#include "token/pkcs11_template.h"
#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe {

// The names a new key pair carries until its certificate is installed, which gives both keys the
// certificate's label and key identifier. Each generation's identifier is kProvisionalKeyId, one
// blank and 32 random hexadecimal digits: the bare prefix is what earlier versions (and other
// programs) used, so it proves nothing about who made a key.
inline constexpr const char* kProvisionalPublicKeyLabel = "Tarnwick Public Key";
inline constexpr const char* kProvisionalPrivateKeyLabel = "Tarnwick Private Key";
inline constexpr const char* kProvisionalKeyId = "OBJECT ID";

// Returned by Open when the library has no C_GetFunctionList.
inline constexpr CK_RV kKeygenNoFunctionList = 0xFFFFFFFF;
// Returned when the key pair ledger cannot be written: a pair that could not be proven ours later
// is not made, or is destroyed at once.
inline constexpr CK_RV kKeygenLedgerUnwritable = 0xFFFFFFFE;

// A provisional key identifier made fresh: kProvisionalKeyId, a blank, 16 random octets in hex.
Bytes NewProvisionalKeyId();

// The PKCS#11 cycle in which a key pair is generated, the request signed, and the pair kept or
// destroyed once the request's fate is known: the record's library, the slot holding the record's
// token, one read-write session with the user logged in, held
// open while the request is sent so that nothing needs a second login. The steps are called in
// the order they are declared; each returns 0 or the CK_RV (or code) that ends the generation.
// Clean-up runs on every path as far as something was opened: log out, close the session, close
// the slot's other sessions (outside a step, whose sessions they may be), then finalise and
// unload. A login that found the user already
// logged in is left in place: no logout, no closing of other sessions, no finalisation, and the
// library stays loaded; only this session is closed. A library that was already initialised in
// this process is neither finalised nor are its other sessions closed. A key pair generated here
// is destroyed again at the end unless Settle or KeepKeyPair kept it: a pair whose request never
// left is of no use.
//
// Nothing is destroyed that this program did not provably make: the new pair by the handles the
// token returned; what a generation with a lost answer made by its fresh identifier, recorded in
// the key pair ledger before the generation; an earlier run's pair only by a ledger entry of this
// program's own form whose recorded public key matches it, never while a certificate on the token
// has that key, and never while a certificate waits for this token at the authority.
class KeygenSession {
public:
    // The generation runs in `step`, which outlives the session.
    explicit KeygenSession(TokenStep& step) : step_(step) {}
    ~KeygenSession();
    KeygenSession(const KeygenSession&) = delete;
    KeygenSession& operator=(const KeygenSession&) = delete;

    // Loads `modulePath`, initialises it (a library already initialised is accepted and not
    // finalised here), lists the present slots and opens a read-write session on the one holding
    // the token (FindListedSlot). Returns 0; kModuleNotLoaded (7); kKeygenNoFunctionList; the
    // failing CK_RV; CKR_TOKEN_NOT_PRESENT (224) when no present slot holds the token.
    CK_RV Open(const zel_token& token);
    // C_Login as CKU_USER; logs "Login status: <rv>". Returns 0 also when the user was already
    // logged in, otherwise the token's result (160 for a wrong PIN).
    CK_RV Login(const Secret& pin);
    // Removes the pairs earlier runs recorded for this token once they are shown useless, only
    // when the last status check found no issued certificate waiting for this token
    // (`certificateWaits` false), whatever state their entry has: an entry is proof only of what
    // was on the disk, and a request may have left after it. Entries that ProvesOwnPair does not
    // accept are logged and left alone, in the file too. A search that fails leaves the pair and
    // its record. Never stops the generation.
    void SettleEarlierKeyPairs(bool certificateWaits);
    // Notes the certificates whose private key is on the token, for CheckHoldings. Returns 0 or
    // the failing call's CK_RV.
    CK_RV NoteHoldings();
    // C_GenerateKeyPair with CKM_RSA_PKCS_KEY_PAIR_GEN, the two fixed templates and an identifier
    // made fresh and recorded first, the private key stated sensitive and not extractable (when
    // the token refuses the template: once more without the labels, then also without those
    // two). When the generation fails,
    // what it may have made anyway is destroyed: keys with that identifier, in pairs. Returns 0,
    // the token's result, or kKeygenLedgerUnwritable (nothing generated) when the identifier
    // cannot be recorded.
    CK_RV GenerateKeyPair(CK_ULONG bits);
    // Whether every certificate NoteHoldings saw is still on the token with its private key
    // (found by its public key): some tokens generate into the place of the current key. Returns
    // 0; kTokenReplacedKey when one is gone; or the failing call's CK_RV. Unless 0, the new pair
    // stays as the token left it.
    CK_RV CheckHoldings();
    // Reads back whether the new private key is sensitive and not extractable. Returns 0, the
    // read's failure, or kTokenKeyNotProtected (the pair is then destroyed at once).
    CK_RV CheckProtection();
    // The new public key's modulus and public exponent (big-endian), recorded in the ledger.
    // Returns 0, the read's failure, or kKeygenLedgerUnwritable.
    CK_RV ReadPublicKey(Bytes& modulus, Bytes& publicExponent);
    // Reads what binds the signer to the new private key: the token's information and the key's
    // type and identifier. A key that is not RSA gives kTokenKeyOperationImpossible (523).
    CK_RV DescribePrivateKey();
    // The PKCS#1 v1.5 signature of a DigestInfo by the new private key (CKM_RSA_PKCS, the token
    // pads; the PIN again when the key wants it for each use). Returns 0, the result of that
    // login, or kTokenKeyOperationImpossible (523) when C_SignInit or C_Sign fails.
    int SignDigestInfo(const Bytes& digestInfo, Bytes& signature);
    // The request is about to leave: from now on its pair goes only on proof of its refusal.
    // True when that state is on the disk; false when it could not be written: the request must
    // not leave, and the pair is destroyed here by its handles.
    bool RequestSent();
    // What came of the request: accepted, the pair stays and its record goes; provably refused or
    // never delivered, the pair is destroyed here; unknown, the pair and its record stay for a
    // later status check to decide.
    void Settle(CHttpsClient::Delivery delivery);
    // The key pair stays on the token as it is, and out of the ledger.
    void KeepKeyPair();

    bool alreadyLoggedIn() const { return login_.alreadyLoggedIn(); }

private:
    enum class Found { Destroyed, None, InUse, Unknown };
    // Destroys the keys carrying `id` when they form pairs (with `modulus`, when given) whose key
    // no certificate on the token has. Moduli compare as numbers.
    Found DestroyPairsWithId(const Bytes& id, const Bytes& modulus);
    // Destroys the new pair by its handles; true when both went.
    bool DestroyKeyPair();
    // The search's objects; returns its CK_RV.
    CK_RV Find(AttributeTemplate& pattern, std::vector<CK_OBJECT_HANDLE>& found);
    bool Record(LedgerState state);
    void Forget();

    struct Holding {
        Bytes certificate;
        Bytes modulus;
    };

    TokenStep& step_;
    Pkcs11Module module_;
    Pkcs11Session session_;
    Pkcs11Login login_;
    CK_SLOT_ID slot_ = 0;
    CK_FLAGS tokenFlags_ = 0;  // as listed: whether the reader takes the PIN
    std::string tokenKey_;     // the token's identity in the ledger
    Bytes id_;                 // the new pair's provisional identifier
    Bytes modulus_;            // the new public key's, once read
    std::vector<Holding> holdings_;
    CK_OBJECT_HANDLE publicKey_ = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey_ = CK_INVALID_HANDLE;
    bool sharedLibrary_ = false;  // initialised before us in this process: not ours to finalise
    bool keepKeyPair_ = false;
    Secret pin_;
};

}  // namespace qe
