#include "token/pkcs11_find.h"

#include <algorithm>

#include <openssl/sha.h>

#include "log/enroll_log.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_template.h"

namespace qe {

ObjectSearch::~ObjectSearch() {
    if (active_) {
        fn_->C_FindObjectsFinal(session_);
    }
}

CK_RV ObjectSearch::Init(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         AttributeTemplate& pattern) {
    Final();
    const CK_RV rv = Checked(fn->C_FindObjectsInit(session, pattern.data(), pattern.size()));
    if (rv == CKR_OK) {
        fn_ = fn;
        session_ = session;
        active_ = true;
    }
    return rv;
}

CK_RV ObjectSearch::Next(CK_OBJECT_HANDLE& object, bool& found) {
    found = false;
    if (!active_) {
        return Checked(CKR_OPERATION_NOT_INITIALIZED);
    }
    CK_ULONG count = 0;
    const CK_RV rv = Checked(fn_->C_FindObjects(session_, &object, 1, &count));
    found = rv == CKR_OK && count > 0;
    return rv;
}

CK_RV ObjectSearch::Final() {
    if (!active_) {
        return CKR_OK;
    }
    active_ = false;
    return Checked(fn_->C_FindObjectsFinal(session_));
}

CK_RV FindAllObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, AttributeTemplate& pattern,
                     std::vector<CK_OBJECT_HANDLE>& objects) {
    ObjectSearch search;
    CK_RV rv = search.Init(fn, session, pattern);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        rv = search.Next(object, found);
        if (rv != CKR_OK) {
            return rv;
        }
        if (!found) {
            break;
        }
        objects.push_back(object);
    }
    return search.Final();
}

Bytes ModulusNumber(Bytes modulus) {
    modulus.erase(modulus.begin(),
                  std::find_if(modulus.begin(), modulus.end(), [](auto b) { return b != 0; }));
    return modulus;
}

CK_RV FindKeysWithModulus(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_CLASS keyClass,
                          const Bytes& modulus, std::vector<CK_OBJECT_HANDLE>& keys) {
    keys.clear();
    const Bytes wanted = ModulusNumber(modulus);
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, keyClass);
    std::vector<CK_OBJECT_HANDLE> candidates;
    if (const CK_RV rv = FindAllObjects(fn, session, pattern, candidates); rv != CKR_OK) {
        return rv;
    }
    if (wanted.empty()) {
        return CKR_OK;
    }
    // One read a key, with room for a few zero octets: a longer value is another number.
    constexpr std::size_t kZeroRoom = 8;
    Bytes value(wanted.size() + kZeroRoom);
    for (const CK_OBJECT_HANDLE key : candidates) {
        CK_ATTRIBUTE attribute{CKA_MODULUS, value.data(), static_cast<CK_ULONG>(value.size())};
        const CK_RV rv = Checked(fn->C_GetAttributeValue(session, key, &attribute, 1));
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_BUFFER_TOO_SMALL) {
            continue;
        }
        if (rv != CKR_OK) {
            return rv;
        }
        if (attribute.ulValueLen <= value.size() &&
            ModulusNumber(Bytes(
                value.begin(),
                value.begin() + static_cast<std::ptrdiff_t>(attribute.ulValueLen))) == wanted) {
            keys.push_back(key);
        }
    }
    return CKR_OK;
}

CK_RV FindPrivateKeysToUse(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const Bytes& modulus,
                           std::vector<CK_OBJECT_HANDLE>& keys) {
    if (const CK_RV rv = FindKeysWithModulus(fn, session, CKO_PRIVATE_KEY, modulus, keys);
        rv != CKR_OK || !keys.empty() || ModulusNumber(modulus).empty()) {
        return rv;
    }
    Bytes hash(SHA_DIGEST_LENGTH);
    SHA1(modulus.data(), modulus.size(), hash.data());
    std::vector<Bytes> ids{hash, ToBytes(ToHexUpper(hash))};
    std::vector<CK_OBJECT_HANDLE> publicKeys;
    if (const CK_RV rv = FindKeysWithModulus(fn, session, CKO_PUBLIC_KEY, modulus, publicKeys);
        rv != CKR_OK) {
        return rv;
    }
    Bytes value;
    for (const CK_OBJECT_HANDLE key : publicKeys) {
        if (ReadAttribute(fn, session, key, CKA_ID, value) == CKR_OK && !value.empty()) {
            ids.push_back(value);
        }
    }
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
    std::vector<CK_OBJECT_HANDLE> candidates;
    if (const CK_RV rv = FindAllObjects(fn, session, pattern, candidates); rv != CKR_OK) {
        return rv;
    }
    for (const CK_OBJECT_HANDLE key : candidates) {
        if (ReadAttribute(fn, session, key, CKA_MODULUS, value) == CKR_ATTRIBUTE_TYPE_INVALID &&
            ReadAttribute(fn, session, key, CKA_ID, value) == CKR_OK &&
            std::find(ids.begin(), ids.end(), value) != ids.end()) {
            keys.push_back(key);
        }
    }
    if (!keys.empty()) {
        Log().Write("Private key found by its identifier: the token tells no modulus for it");
    }
    return CKR_OK;
}

}  // namespace qe
