#pragma once

#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/pkcs11_template.h"
#include "toolkit/bytes.h"

namespace qe {

// One object search: C_FindObjectsInit, then C_FindObjects one object at a time, then
// C_FindObjectsFinal, which runs at scope end when the caller has not run it.
class ObjectSearch {
public:
    ObjectSearch() = default;
    ~ObjectSearch();
    ObjectSearch(const ObjectSearch&) = delete;
    ObjectSearch& operator=(const ObjectSearch&) = delete;

    // C_FindObjectsInit with the template; returns its CK_RV.
    CK_RV Init(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, AttributeTemplate& pattern);
    // C_FindObjects for one object: returns its CK_RV and sets `found` (false at the end).
    CK_RV Next(CK_OBJECT_HANDLE& object, bool& found);
    // C_FindObjectsFinal now; returns its result (0 when no search is active).
    CK_RV Final();

private:
    CK_FUNCTION_LIST* fn_ = nullptr;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool active_ = false;
};

// Every object matching the template, in the order C_FindObjects returns them, asked for one at
// a time until none comes (never a fixed cap). Returns the first failing CK_RV of the search
// (then `objects` holds what was found before it), or the result of C_FindObjectsFinal.
CK_RV FindAllObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, AttributeTemplate& pattern,
                     std::vector<CK_OBJECT_HANDLE>& objects);

// A modulus as the number it is: without leading zero octets.
Bytes ModulusNumber(Bytes modulus);

// The keys of `keyClass` whose CKA_MODULUS is the number `modulus`, compared as numbers: a token
// may keep a leading zero octet, so a search by the value alone can miss the key. A key without a
// modulus (not RSA) is passed over. Returns the first failing CK_RV, or 0.
CK_RV FindKeysWithModulus(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_CLASS keyClass,
                          const Bytes& modulus, std::vector<CK_OBJECT_HANDLE>& keys);

// The private keys to use (never to destroy) for `modulus`: those with it, or else the ones that
// tell no modulus and carry the identifier made from it (SHA-1, raw or as upper-case hex) or the
// one of a public key with it. A card library that tells a private key's modulus only through
// the public key of the same identifier loses it while a pair is renamed one object at a time,
// as when the card is pulled out between the two.
CK_RV FindPrivateKeysToUse(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const Bytes& modulus,
                           std::vector<CK_OBJECT_HANDLE>& keys);

}  // namespace qe
