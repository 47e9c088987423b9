// What becomes of a generated key pair: kept, destroyed, or left to a later run, with the key pair
// ledger as the only proof of what this program made.

#include <algorithm>
#include <string>
#include <vector>

#include "log/enroll_log.h"
#include "request/keygen_session.h"
#include "token/certificate_parts.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_template.h"

namespace qe {

bool KeygenSession::Record(LedgerState state) {
    return RecordKeyPair({tokenKey_, state, id_, modulus_});
}

void KeygenSession::Forget() {
    if (!id_.empty()) {
        ForgetKeyPair(tokenKey_, id_);
    }
}

KeygenSession::Found KeygenSession::DestroyPairsWithId(const Bytes& id, const Bytes& modulus) {
    CK_FUNCTION_LIST* fn = module_.fn();
    std::vector<CK_OBJECT_HANDLE> keys[2];
    std::vector<Bytes> moduli[2];
    for (const int k : {0, 1}) {
        AttributeTemplate pattern;
        pattern.Ulong(CKA_CLASS, k == 0 ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY).Data(CKA_ID, id);
        if (Find(pattern, keys[k]) != CKR_OK) {
            return Found::Unknown;
        }
        for (const CK_OBJECT_HANDLE key : keys[k]) {
            Bytes value;
            if (ReadAttribute(fn, session_.handle(), key, CKA_MODULUS, value) != CKR_OK) {
                return Found::Unknown;
            }
            moduli[k].push_back(ModulusNumber(std::move(value)));
        }
    }
    if (keys[0].empty() && keys[1].empty()) {
        return Found::None;
    }
    // A private key without its public key beside it, or a key other than the recorded one, is
    // not shown to be ours.
    const Bytes recorded = ModulusNumber(modulus);
    const auto ours = [&](const Bytes& m) {
        return recorded.empty() ? std::count(moduli[0].begin(), moduli[0].end(), m) != 0
                                : m == recorded;
    };
    if (!std::all_of(moduli[0].begin(), moduli[0].end(), ours) ||
        !std::all_of(moduli[1].begin(), moduli[1].end(), ours)) {
        return Found::InUse;
    }
    AttributeTemplate certificates;
    certificates.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    std::vector<CK_OBJECT_HANDLE> found;
    if (Find(certificates, found) != CKR_OK) {
        return Found::Unknown;
    }
    for (const CK_OBJECT_HANDLE certificate : found) {
        Bytes der;
        CertificateParts parts;
        if (ReadAttribute(fn, session_.handle(), certificate, CKA_VALUE, der) != CKR_OK) {
            return Found::Unknown;
        }
        if (ParseCertificateParts(der, parts) == 0 && ours(ModulusNumber(parts.modulus))) {
            return Found::InUse;
        }
    }
    for (const int k : {1, 0}) {
        for (const CK_OBJECT_HANDLE key : keys[k]) {
            if (Checked(fn->C_DestroyObject(session_.handle(), key)) != CKR_OK) {
                return Found::Unknown;
            }
        }
    }
    return Found::Destroyed;
}

void KeygenSession::SettleEarlierKeyPairs(bool certificateWaits) {
    std::size_t unread = 0;
    const std::vector<LedgerEntry> entries = LoadKeyPairLedger(&unread);
    if (unread != 0) {
        Log().Write("Key pair ledger: " + std::to_string(unread) +
                    " lines not read as entries, left as they are");
    }
    for (const LedgerEntry& entry : entries) {
        if (entry.token != tokenKey_) {
            continue;
        }
        if (!ProvesOwnPair(entry)) {
            Log().Write(
                "Key pair ledger entry left alone: not of this program's form, or without "
                "its public key");
            continue;
        }
        // Its certificate may be the one waiting: nothing goes before it is installed.
        if (certificateWaits) {
            Log().Write("Key pair of an earlier request kept: a certificate waits for this token");
            continue;
        }
        const Found found = DestroyPairsWithId(entry.id, entry.modulus);
        Log().Write(found == Found::Destroyed ? "Key pair of an earlier request removed"
                    : found == Found::None    ? "Key pair of an earlier request no longer there"
                    : found == Found::InUse
                        ? "Key pair of an earlier request kept: in use, or not the one recorded"
                        : "Key pair of an earlier request kept: the token could not be searched");
        if (found != Found::Unknown) {
            ForgetKeyPair(tokenKey_, entry.id);
        }
    }
}

bool KeygenSession::DestroyKeyPair() {
    bool destroyed = publicKey_ != CK_INVALID_HANDLE || privateKey_ != CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE* key : {&privateKey_, &publicKey_}) {
        if (*key != CK_INVALID_HANDLE) {
            destroyed = Checked(module_.fn()->C_DestroyObject(session_.handle(), *key)) == CKR_OK &&
                        destroyed;
            *key = CK_INVALID_HANDLE;
        }
    }
    return destroyed;
}

void KeygenSession::KeepKeyPair() {
    keepKeyPair_ = true;
    Forget();
}

bool KeygenSession::RequestSent() {
    if (Record(LedgerState::Sent)) {
        return true;
    }
    // Unrecorded, a pair whose request may have arrived could not be told from another program's:
    // the request stays here and the pair goes while its handles still prove it ours.
    keepKeyPair_ = true;
    Log().Write(DestroyKeyPair()
                    ? "Nothing sent: the key pair ledger could not be written; new key pair removed"
                    : "Nothing sent: the key pair ledger could not be written; the new key pair "
                      "could not be removed");
    Forget();
    return false;
}

void KeygenSession::Settle(CHttpsClient::Delivery delivery) {
    switch (delivery) {
        case CHttpsClient::Delivery::Accepted:
            KeepKeyPair();
            break;
        case CHttpsClient::Delivery::Refused:
            keepKeyPair_ = true;  // settled here, whatever comes of it
            if (DestroyKeyPair()) {
                Log().Write("Key pair of the request not accepted removed");
                Forget();
            } else {
                Log().Write("Key pair of the request not accepted left on the token");
                Record(LedgerState::Made);
            }
            break;
        case CHttpsClient::Delivery::Unknown:
            Log().Write(
                "No answer to the request: its key pair is kept until the authority's "
                "status shows what became of it");
            keepKeyPair_ = true;
            break;
    }
}

}  // namespace qe
