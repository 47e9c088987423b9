#include <algorithm>
#include <cstring>

#include "token/certificate_parts.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"

namespace qe {
namespace {

// The first present slot whose token label starts with the given label. Returns 0 with `slot`,
// 224 when none matches, or the C_GetTokenInfo failure that ends the search.
CK_RV FindSlotByLabel(CK_FUNCTION_LIST* fn, const std::vector<CK_SLOT_ID>& slots,
                      std::string_view label, CK_SLOT_ID& slot) {
    const std::size_t compared = std::min<std::size_t>(label.size(), sizeof CK_TOKEN_INFO::label);
    for (const CK_SLOT_ID candidate : slots) {
        CK_TOKEN_INFO info{};
        const CK_RV rv = fn->C_GetTokenInfo(candidate, &info);
        if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED) {
            continue;
        }
        if (rv != CKR_OK && rv != kVendorTokenInfoOk) {
            return Checked(rv);
        }
        if (compared == 0 || std::memcmp(info.label, label.data(), compared) == 0) {
            slot = candidate;
            return CKR_OK;
        }
    }
    return Checked(CKR_TOKEN_NOT_PRESENT);
}

// Gives the key of `keyClass` with the certificate's modulus the certificate's label and key
// identifier. A key that is not there is passed over.
CK_RV RelabelKey(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_CLASS keyClass,
                 const CertificateParts& parts, const Bytes& keyId) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, keyClass).Data(CKA_MODULUS, parts.modulus);
    ObjectSearch search;
    CK_RV rv = search.Init(fn, session, pattern);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    bool found = false;
    rv = search.Next(key, found);
    if (rv != CKR_OK) {
        return rv;
    }
    if (found) {
        AttributeTemplate names;
        names.Text(CKA_LABEL, parts.label).Data(CKA_ID, keyId);
        rv = Checked(fn->C_SetAttributeValue(session, key, names.data(), names.size()));
        if (rv != CKR_OK) {
            return rv;
        }
    }
    search.Final();
    return CKR_OK;
}

// Destroys the X.509 certificates of the same serial number, so an installation run again
// replaces rather than adds.
CK_RV RemoveSameSerial(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                       const CertificateParts& parts) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Bool(CKA_TOKEN, true)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Data(CKA_SERIAL_NUMBER, parts.serialDer);
    ObjectSearch search;
    const CK_RV rv = search.Init(fn, session, pattern);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE;
        bool found = false;
        if (search.Next(certificate, found) != CKR_OK || !found ||
            Checked(fn->C_DestroyObject(session, certificate)) != CKR_OK) {
            break;
        }
    }
    return search.Final();
}

CK_RV WriteCertificate(CPKI& pki, CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                       const CertificateParts& parts, const Bytes& keyId, const Bytes& der) {
    AttributeTemplate object;
    object.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Bool(CKA_TOKEN, true)
        .Bool(CKA_PRIVATE, false)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Data(CKA_SUBJECT, parts.subject)
        .Data(CKA_ISSUER, parts.issuer)
        .Data(CKA_VALUE, der)
        .Data(CKA_SERIAL_NUMBER, parts.serialDer)
        .Data(CKA_ID, keyId)
        .Text(CKA_LABEL, parts.label);
    const long before = pki.CountCertificates(fn, session);
    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    const CK_RV rv = Checked(fn->C_CreateObject(session, object.data(), object.size(), &created));
    const long after = pki.CountCertificates(fn, session);
    // Some libraries report a failure although the object was written; the count decides.
    return after > before ? CKR_OK : rv;
}

}  // namespace

CK_RV CPKI::InstallCertificate(const std::string& modulePath, std::string_view tokenLabel,
                               const Secret& pin, const Bytes& certificateDer) {
    Pkcs11Module module;
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = LoadWithPresentSlots(modulePath, module, slots);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_FUNCTION_LIST* fn = module.fn();
    CK_SLOT_ID slot = 0;
    rv = FindSlotByLabel(fn, slots, tokenLabel, slot);
    if (rv != CKR_OK) {
        return rv;
    }
    Pkcs11Session session;
    rv = session.Open(fn, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    if (rv != CKR_OK) {
        return rv;
    }
    Pkcs11Login login;
    rv = login.Login(fn, session.handle(), pin);
    if (rv != CKR_OK) {
        return rv;
    }
    CertificateParts parts;
    const int parsed = ParseCertificateParts(certificateDer, parts);
    if (parsed != 0) {
        return static_cast<CK_RV>(parsed);
    }
    const Bytes keyId = ComputeKeyId(parts.modulus, modulePath);
    rv = RelabelKey(fn, session.handle(), CKO_PRIVATE_KEY, parts, keyId);
    if (rv == CKR_OK) {
        rv = RelabelKey(fn, session.handle(), CKO_PUBLIC_KEY, parts, keyId);
    }
    if (rv == CKR_OK) {
        rv = RemoveSameSerial(fn, session.handle(), parts);
    }
    if (rv == CKR_OK) {
        rv = WriteCertificate(*this, fn, session.handle(), parts, keyId, certificateDer);
    }
    login.Logout();
    session.Close();
    return rv;
}

long CPKI::CountCertificates(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE);
    ObjectSearch search;
    if (search.Init(fn, session, pattern) != CKR_OK) {
        return -1;
    }
    long count = 0;
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        if (search.Next(object, found) != CKR_OK || !found) {
            break;
        }
        ++count;
    }
    search.Final();
    return count;
}

}  // namespace qe
