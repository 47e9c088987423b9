#include <algorithm>
#include <cstring>

#include "log/enroll_log.h"
#include "token/certificate_parts.h"
#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pkcs11_session.h"
#include "token/pki.h"
#include "token/token_cycle.h"

namespace qe {
namespace {

// Gives the key of `keyClass` with the certificate's modulus the certificate's label and key
// identifier. A key that is not there is passed over. A token that does not let the names change
// (or chose the identifier itself) keeps its own: its identifier becomes `keyId`, so that the
// certificate written next carries the key's.
CK_RV RelabelKey(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_CLASS keyClass,
                 const CertificateParts& parts, Bytes& keyId) {
    std::vector<CK_OBJECT_HANDLE> keys;
    if (const CK_RV rv = keyClass == CKO_PRIVATE_KEY
                             ? FindPrivateKeysToUse(fn, session, parts.modulus, keys)
                             : FindKeysWithModulus(fn, session, keyClass, parts.modulus, keys);
        rv != CKR_OK || keys.empty()) {
        return rv;
    }
    AttributeTemplate names;
    names.Text(CKA_LABEL, parts.label).Data(CKA_ID, keyId);
    const CK_RV rv = Checked(fn->C_SetAttributeValue(session, keys[0], names.data(), names.size()));
    if (rv != CKR_FUNCTION_NOT_SUPPORTED && rv != CKR_ATTRIBUTE_READ_ONLY &&
        rv != CKR_ACTION_PROHIBITED) {
        return rv;
    }
    Bytes own;
    if (ReadAttribute(fn, session, keys[0], CKA_ID, own) != CKR_OK || own.empty()) {
        return rv;
    }
    Log().Write("The token keeps its own key identifier: the certificate takes it");
    keyId = own;
    return CKR_OK;
}

// A certificate object as written to the token, or as read back to be written again.
struct CertificateObject {
    Bytes subject;
    Bytes issuer;
    Bytes value;
    Bytes serialDer;
    Bytes id;
    Bytes label;
};

// `strict`: only what tokens with strict templates take.
CK_RV CreateCertificate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                        const CertificateObject& certificate, bool strict = false) {
    AttributeTemplate object;
    object.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Bool(CKA_TOKEN, true)
        .Bool(CKA_PRIVATE, false)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Data(CKA_SUBJECT, certificate.subject)
        .Data(CKA_VALUE, certificate.value)
        .Data(CKA_ID, certificate.id);
    if (!strict) {  // the key is found by its identifier and modulus, never by a label
        object.Data(CKA_ISSUER, certificate.issuer)
            .Data(CKA_SERIAL_NUMBER, certificate.serialDer)
            .Data(CKA_LABEL, certificate.label);
    }
    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    return Checked(fn->C_CreateObject(session, object.data(), object.size(), &created));
}

CK_RV ReadCertificate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                      CertificateObject& certificate) {
    const std::pair<CK_ATTRIBUTE_TYPE, Bytes*> parts[] = {
        {CKA_SUBJECT, &certificate.subject}, {CKA_ISSUER, &certificate.issuer},
        {CKA_VALUE, &certificate.value},     {CKA_SERIAL_NUMBER, &certificate.serialDer},
        {CKA_ID, &certificate.id},           {CKA_LABEL, &certificate.label}};
    for (const auto& [type, value] : parts) {
        if (const CK_RV rv = ReadAttribute(fn, session, object, type, *value); rv != CKR_OK) {
            return rv;
        }
    }
    return CKR_OK;
}

// The X.509 certificate objects with this issuer and serial number: the ones a new certificate
// replaces. Another authority's certificate with the same serial number is not among them.
CK_RV FindSameIssuerAndSerial(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                              const CertificateObject& certificate,
                              std::vector<CK_OBJECT_HANDLE>& found) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Bool(CKA_TOKEN, true)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Data(CKA_ISSUER, certificate.issuer)
        .Data(CKA_SERIAL_NUMBER, certificate.serialDer);
    return FindAllObjects(fn, session, pattern, found);
}

// Whether an object with exactly the certificate's bytes, other than those in `known`, is on the
// token: the proof of a write that the library reported as failed.
bool HoldsNewCopy(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                  const CertificateObject& certificate,
                  const std::vector<CK_OBJECT_HANDLE>& known) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .Data(CKA_VALUE, certificate.value);
    std::vector<CK_OBJECT_HANDLE> found;
    if (FindAllObjects(fn, session, pattern, found) != CKR_OK) {
        return false;
    }
    return std::any_of(found.begin(), found.end(), [&known](CK_OBJECT_HANDLE object) {
        return std::find(known.begin(), known.end(), object) == known.end();
    });
}

// Tokens with strict templates refuse an attribute they do not take, most often as a general
// error: the certificate is written again without the optional ones, unless it is there already.
CK_RV WriteCertificate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                       const CertificateObject& certificate,
                       const std::vector<CK_OBJECT_HANDLE>& known) {
    const CK_RV rv = CreateCertificate(fn, session, certificate);
    const bool refused = rv == CKR_GENERAL_ERROR || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
                         rv == CKR_ATTRIBUTE_VALUE_INVALID || rv == CKR_TEMPLATE_INCONSISTENT;
    return refused && !HoldsNewCopy(fn, session, certificate, known)
               ? CreateCertificate(fn, session, certificate, true)
               : rv;
}

// Whether a failed C_CreateObject may have refused the object for the older one of the same
// issuer and serial beside it (a refused duplicate, or no room for a second copy), so that
// making room first can help. Failures of the token or the session never qualify: the older
// certificate is not put at risk for them.
bool MayBeRefusedDuplicate(CK_RV rv) {
    return rv == CKR_ATTRIBUTE_VALUE_INVALID || rv == CKR_TEMPLATE_INCONSISTENT ||
           rv == CKR_DEVICE_MEMORY || rv >= CKR_VENDOR_DEFINED;
}

// Writes the certificate and then destroys the older objects of the same issuer and serial, so
// the token never holds less than before unless the new certificate is in place. A write counts
// when C_CreateObject answers CKR_OK or the certificate is found on the token afterwards; nothing
// else. A token that seems to refuse a second object of the same issuer and serial gets the older
// ones destroyed first, and written back when the new one still cannot be written.
CK_RV ReplaceCertificate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                         const CertificateObject& certificate) {
    // A run cut short after the write (the card pulled out) left it in place: cards refuse a
    // second copy, and none is needed.
    if (HoldsNewCopy(fn, session, certificate, {})) {
        Log().Write("The new certificate is on the token already");
        return CKR_OK;
    }
    std::vector<CK_OBJECT_HANDLE> older;
    if (const CK_RV rv = FindSameIssuerAndSerial(fn, session, certificate, older); rv != CKR_OK) {
        return rv;
    }
    CK_RV rv = WriteCertificate(fn, session, certificate, older);
    if (rv == CKR_OK || HoldsNewCopy(fn, session, certificate, older)) {
        for (const CK_OBJECT_HANDLE object : older) {
            // One left behind only duplicates the new certificate, which is in place.
            fn->C_DestroyObject(session, object);
        }
        return CKR_OK;
    }
    if (!MayBeRefusedDuplicate(rv)) {
        return rv;
    }
    std::vector<CertificateObject> destroyed;
    for (const CK_OBJECT_HANDLE object : older) {
        CertificateObject saved;
        if (ReadCertificate(fn, session, object, saved) != CKR_OK ||
            Checked(fn->C_DestroyObject(session, object)) != CKR_OK) {
            break;
        }
        destroyed.push_back(std::move(saved));
    }
    if (destroyed.empty()) {
        return rv;
    }
    rv = WriteCertificate(fn, session, certificate, {});
    if (rv == CKR_OK || HoldsNewCopy(fn, session, certificate, {})) {
        return CKR_OK;
    }
    for (const CertificateObject& saved : destroyed) {
        WriteCertificate(fn, session, saved, {});
    }
    return rv;
}

}  // namespace

CK_RV CPKI::InstallCertificate(const zel_token& token, const Secret& pin,
                               const Bytes& certificateDer) {
    return RunOnTokenLoggedIn(
        step_, token, pin,
        [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) -> CK_RV {
            CertificateParts parts;
            if (const int parsed = ParseCertificateParts(certificateDer, parts); parsed != 0) {
                return static_cast<CK_RV>(parsed);
            }
            Bytes keyId = ComputeKeyId(parts.modulus, token.modulePath);
            CK_RV rv = RelabelKey(fn, session, CKO_PRIVATE_KEY, parts, keyId);
            if (rv == CKR_OK) {
                rv = RelabelKey(fn, session, CKO_PUBLIC_KEY, parts, keyId);
            }
            if (rv != CKR_OK) {
                return rv;
            }
            return ReplaceCertificate(fn, session,
                                      {parts.subject, parts.issuer, certificateDer, parts.serialDer,
                                       keyId, ToBytes(parts.label)});
        });
}

}  // namespace qe
