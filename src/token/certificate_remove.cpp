#include "token/pkcs11_call.h"
#include "token/pkcs11_find.h"
#include "token/pki.h"
#include "token/token_cycle.h"
#include "token/token_status.h"

namespace qe {
namespace {

CK_RV DestroyMatching(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, const Bytes& der) {
    AttributeTemplate pattern;
    pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    ObjectSearch search;
    CK_RV rv = search.Init(fn, session, pattern);
    if (rv != CKR_OK) {
        return rv;
    }
    for (;;) {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        bool found = false;
        rv = search.Next(object, found);
        if (rv != CKR_OK || !found) {
            break;
        }
        Bytes value;
        rv = ReadAttribute(fn, session, object, CKA_VALUE, value);
        if (rv != CKR_OK) {
            break;
        }
        if (!value.empty() && value == der) {
            rv = Checked(fn->C_DestroyObject(session, object));
            if (rv != CKR_OK) {
                break;
            }
        }
    }
    search.Final();
    return rv;
}

}  // namespace

CK_RV CPKI::RemoveCertificate(const zel_token& token, const Secret& pin,
                              const Bytes& certificateDer) {
    return RunOnTokenLoggedIn(
        step_, token, pin, [&](CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_SLOT_ID) {
            CK_RV rv = DestroyMatching(fn, session, certificateDer);
            // Some tokens answer CKR_OK and keep the object: only a search shows it went.
            AttributeTemplate pattern;
            pattern.Ulong(CKA_CLASS, CKO_CERTIFICATE).Data(CKA_VALUE, certificateDer);
            std::vector<CK_OBJECT_HANDLE> left;
            if (rv == CKR_OK && (rv = FindAllObjects(fn, session, pattern, left)) == CKR_OK &&
                !left.empty()) {
                rv = kTokenObjectKept;
            }
            return rv;
        });
}

}  // namespace qe
